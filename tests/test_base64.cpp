#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base64.h"

namespace {

struct Vector {
    const char* plain;
    const char* encoded;
};

// RFC 4648, section 10.
const Vector kRfcVectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

std::string Encode(const std::string& s, int* pnLen = nullptr) {
    char* out = nullptr;
    int n = Base64Encode(reinterpret_cast<const unsigned char*>(s.data()),
                         static_cast<int>(s.size()), &out);
    if (pnLen != nullptr) {
        *pnLen = n;
    }
    std::string r = out != nullptr ? std::string(out) : std::string("<null>");
    std::free(out);
    return r;
}

TEST(Base64, EncodesRfcVectors) {
    for (const Vector& v : kRfcVectors) {
        int n = -2;
        EXPECT_EQ(Encode(v.plain, &n), v.encoded);
        EXPECT_EQ(n, static_cast<int>(std::strlen(v.encoded)));
    }
}

TEST(Base64, EncodesHighBytesAsUnsigned) {
    EXPECT_EQ(Encode(std::string("\xff\xfe\x80", 3)), "//6A");
    EXPECT_EQ(Encode(std::string("\x00\xff", 2)), "AP8=");
}

TEST(Base64, DecodesRfcVectors) {
    for (const Vector& v : kRfcVectors) {
        unsigned char buf[16] = {0};
        int n = Base64Decode(v.encoded, buf);
        EXPECT_EQ(n, static_cast<int>(std::strlen(v.plain))) << v.encoded;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n > 0 ? n : 0), v.plain);
    }
}

struct DecodeRow {
    const char* in;
    int expected;
};

TEST(Base64, DecodeEdgeCases) {
    const DecodeRow rows[] = {
        {"Zg==Zg==", 1}, // stops after the first padded group
        {"Zg=x", -1},    // pad in the third place, alphabet in the fourth
        {"Z", -1},       {"Zm", -1},       {"Zm9", -1},
        {"", 0},         {"Zm9v Zm9v", 3}, // stops at the blank without error
        {"=AAA", 0},                       // a group starting outside the alphabet ends the text
        {"Z=AA", -1},                      // "=" in the second place
    };
    for (const DecodeRow& r : rows) {
        unsigned char buf[32];
        EXPECT_EQ(Base64Decode(r.in, buf), r.expected) << r.in;
    }
}

TEST(Base64, RefusesLengthsWhoseTextWouldNotFit) {
    // Refused before a byte is read, so a small buffer stands in for a huge one.
    const unsigned char small[4] = {1, 2, 3, 4};
    char* out = reinterpret_cast<char*>(&out);
    char* const sentinel = out;
    EXPECT_EQ(Base64Encode(small, 0x60000001, &out), -1);
    EXPECT_EQ(Base64Encode(small, -1, &out), -1);
    EXPECT_EQ(out, sentinel);
}

TEST(Base64, IndexOfAlphabetOnly) {
    EXPECT_EQ(Base64Index('A'), 0);
    EXPECT_EQ(Base64Index('/'), 63);
    EXPECT_EQ(Base64Index('='), -1);
    EXPECT_EQ(Base64Index('\0'), -1);
}

TEST(Base64, LongInputRoundTrips) {
    std::string s;
    for (int i = 0; i < 1000; ++i) {
        s.push_back(static_cast<char>(i * 7));
    }
    std::string enc = Encode(s);
    ASSERT_EQ(enc.size(), 4u * ((s.size() + 2) / 3));
    std::string dec(s.size() + 3, '\0');
    int n = Base64Decode(enc.c_str(), reinterpret_cast<unsigned char*>(&dec[0]));
    ASSERT_EQ(n, static_cast<int>(s.size()));
    EXPECT_EQ(dec.substr(0, n), s);
}

} // namespace
