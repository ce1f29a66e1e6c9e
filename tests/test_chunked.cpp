// The chunked transfer decoder, fed the same streams in every split.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http_chunked.h"
#include "stream_builder.h"

namespace {

// Decodes in pieces of nPiece bytes; the data, or "ERROR".
std::string DecodeInPieces(const std::string& framed, size_t nPiece, bool* pbDone) {
    CHttpChunkDecoder dec;
    std::string out;
    for (size_t i = 0; i < framed.size(); i += nPiece) {
        std::string piece = framed.substr(i, nPiece);
        int n = dec.Decode(&piece[0], static_cast<int>(piece.size()));
        if (n < 0 || dec.Failed()) {
            return "ERROR";
        }
        out.append(piece.data(), static_cast<size_t>(n));
    }
    *pbDone = dec.Done();
    return out;
}

struct ChunkRow {
    const char* name;
    std::string framed;
    std::string data; // or "ERROR"
    bool bDone;
};

TEST(ChunkDecoder, DecodesInEverySplit) {
    const std::string bin = BinaryBytes(3000, 9);
    const ChunkRow rows[] = {
        {"one chunk", "5\r\nhello\r\n0\r\n\r\n", "hello", true},
        {"upper-case hex and leading zeros", "000A\r\n0123456789\r\n0\r\n\r\n", "0123456789", true},
        {"extensions", "3;name=value\r\nabc\r\n2 ; x\r\nde\r\n0;end\r\n\r\n", "abcde", true},
        {"trailer fields", "1\r\nz\r\n0\r\nX-Sum: 1\r\nY: 2\r\n\r\n", "z", true},
        {"bare LF line ends", "2\nab\n0\n\n", "ab", true},
        {"not finished yet", "4\r\nabcd\r\n2\r\nef", "abcdef", false},
        {"bytes after the last chunk are ignored", "1\r\nq\r\n0\r\n\r\nHTTP/1.1", "q", true},
        {"binary data with CR LF and zero bytes", Chunked(bin, {1, 2, 1000, 2047}), bin, true},
        {"data holding chunk-like text", Chunked("5\r\nxx\r\n0\r\n\r\n", {3}),
         "5\r\nxx\r\n0\r\n\r\n", true},
        {"no size digits", "\r\nabc", "ERROR", false},
        {"not a hex digit", "g\r\nabc", "ERROR", false},
        {"data longer than its size", "2\r\nabc\r\n", "ERROR", false},
        {"size beyond an int", "80000000\r\n", "ERROR", false},
        {"bad empty trailer line", "0\r\n\rx", "ERROR", false},
    };
    const size_t pieces[] = {1, 2, 3, 5, 7, 64, 100000};
    for (const ChunkRow& r : rows) {
        for (size_t nPiece : pieces) {
            bool bDone = false;
            std::string out = DecodeInPieces(r.framed, nPiece, &bDone);
            EXPECT_TRUE(out == r.data) << r.name << ", pieces of " << nPiece;
            if (r.data != "ERROR") {
                EXPECT_EQ(bDone, r.bDone) << r.name << ", pieces of " << nPiece;
            }
        }
    }
}

TEST(ChunkDecoder, DataBeforeAFramingErrorIsKept) {
    CHttpChunkDecoder dec;
    std::string a = "3\r\nabc\r\nzz\r\n";
    EXPECT_EQ(dec.Decode(&a[0], static_cast<int>(a.size())), 3);
    EXPECT_EQ(a.substr(0, 3), "abc");
    EXPECT_TRUE(dec.Failed());
    std::string b = "1\r\nx\r\n";
    EXPECT_EQ(dec.Decode(&b[0], static_cast<int>(b.size())), -1);
}

TEST(ChunkDecoder, ResetStartsAFreshStream) {
    CHttpChunkDecoder dec;
    std::string a = "0\r\n\r\n";
    EXPECT_EQ(dec.Decode(&a[0], static_cast<int>(a.size())), 0);
    EXPECT_TRUE(dec.Done());
    dec.Reset();
    EXPECT_FALSE(dec.Done());
    std::string b = "2\r\nok\r\n";
    EXPECT_EQ(dec.Decode(&b[0], static_cast<int>(b.size())), 2);
    EXPECT_EQ(b.substr(0, 2), "ok");
}

} // namespace
