// oxr-http's own logic, without the library: command line, file names,
// error words and the delivery sink (its end rules and progress words are in
// test_cli_end_rules.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "cli_options.h"
#include "delivery_sink.h"
#include "error_words.h"
#include "oxr_http.h"
#include "part_naming.h"

namespace {

std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::filesystem::path FreshDir(const std::string& name) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("oxr-cli-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    return dir;
}

struct ParseCase {
    std::vector<std::string> args;
    bool bOk;
};

TEST(CliOptions, AcceptsAndRefusesCommandLines) {
    const ParseCase cases[] = {
        {{"http://h/"}, true},
        {{}, false},
        {{"http://a/", "http://b/"}, true},
        {{"-o", "a", "http://a/", "-o", "b", "http://b/"}, true},
        {{"-o", "a", "-o", "b", "http://a/"}, false},
        {{"--repeat", "3", "--interval", "0", "http://h/"}, true},
        {{"--repeat", "0", "http://h/"}, false},
        {{"--repeat", "x", "http://h/"}, false},
        {{"--interval", "-5", "http://h/"}, false},
        {{"-X", "post", "http://h/"}, true},
        {{"-X", "PATCH", "http://h/"}, false},
        {{"-X"}, false},
        {{"-H", "Accept: image/jpeg", "http://h/"}, true},
        {{"-H", "NoColon", "http://h/"}, false},
        {{"-H", ": value", "http://h/"}, false},
        {{"-H", "Bad Name: v", "http://h/"}, false},
        {{"-u", "admin:demo", "http://h/"}, true},
        {{"-u", "admin", "http://h/"}, false},
        {{"-d", "x", "--data-file", "f", "http://h/"}, false},
        {{"--timeout", "0", "http://h/"}, false},
        {{"--timeout=250", "http://h/"}, true},
        {{"--connect-timeout", "abc", "http://h/"}, false},
        {{"--max-parts", "0", "http://h/"}, false},
        {{"--max-parts", "5", "http://h/"}, true},
        {{"--duration", "1.5", "http://h/"}, true},
        {{"--duration", "-1", "http://h/"}, false},
        {{"--frobnicate", "http://h/"}, false},
        {{"--help"}, true},
        {{"--", "-strange-url"}, true},
        {{"--reconnect", "2000", "http://h/"}, true},
        {{"--reconnect", "0", "http://h/"}, false},
        {{"-L", "--max-redirs", "0", "--tls-legacy", "http://h/"}, true},
        {{"--location", "--max-redirs=1001", "http://h/"}, false},
        {{"--max-redirs", "-1", "http://h/"}, false},
    };
    for (const ParseCase& c : cases) {
        ClientOptions o;
        std::string error;
        std::string line;
        for (const std::string& a : c.args) {
            line += a + " ";
        }
        EXPECT_EQ(ParseClientOptions(c.args, &o, &error), c.bOk) << line << "-> " << error;
        if (!c.bOk) {
            EXPECT_FALSE(error.empty()) << line;
        }
    }
}

// As curl pairs them: the n-th -o goes with the n-th URL, wherever it stands.
TEST(CliOptions, OutputsPairWithUrlsInOrder) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> outputs; // of each URL, in order
    } cases[] = {
        {{"-o", "a.jpg", "http://h/1", "-o", "b.txt", "http://h/2"}, {"a.jpg", "b.txt"}},
        {{"http://h/1", "-o", "a.jpg", "http://h/2"}, {"a.jpg", ""}},
        {{"-o", "a.jpg", "http://h/1", "http://h/2", "http://h/3"}, {"a.jpg", "", ""}},
        {{"http://h/1", "http://h/1"}, {"", ""}},
    };
    for (const auto& c : cases) {
        ClientOptions o;
        std::string error;
        ASSERT_TRUE(ParseClientOptions(c.args, &o, &error)) << error;
        ASSERT_EQ(o.targets.size(), c.outputs.size());
        for (size_t i = 0; i < c.outputs.size(); ++i) {
            EXPECT_EQ(o.targets[i].outputFile, c.outputs[i]) << c.args[0] << " URL " << i;
        }
    }
}

TEST(CliOptions, MethodNamesMapToLibraryNumbers) {
    const std::pair<const char*, int> cases[] = {
        {"GET", HTTP_METHOD_GET},
        {"post", HTTP_METHOD_POST},
        {"HEAD", HTTP_METHOD_HEAD},
        {"OPTIONS", HTTP_METHOD_OPTIONS},
        {"PUT", HTTP_METHOD_PUT},
        {"Delete", HTTP_METHOD_DELETE},
        {"TRACE", HTTP_METHOD_TRACE},
        {"CONNECT", HTTP_METHOD_CONNECT},
        {"PATCH", -2},
        {"", -2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MethodNumber(c.first), c.second) << c.first;
    }
}

TEST(CliOptions, DataMakesAPostUnlessAMethodIsGiven) {
    ClientOptions o;
    std::string error;
    ASSERT_TRUE(ParseClientOptions({"-d", "a=1", "http://h/"}, &o, &error));
    EXPECT_EQ(o.nMethod, HTTP_METHOD_POST);
    ClientOptions put;
    ASSERT_TRUE(ParseClientOptions({"-X", "PUT", "-d", "a=1", "http://h/"}, &put, &error));
    EXPECT_EQ(put.nMethod, HTTP_METHOD_PUT);
}

TEST(CliOptions, HeadersKeepOrderAndShowHeaderReplacesTheDefaults) {
    ClientOptions o;
    std::string error;
    ASSERT_TRUE(ParseClientOptions(
        {"-H", "A: 1", "-H", "B:2", "--show-header", "Server", "--show-header", "X-Y", "http://h/"},
        &o, &error));
    ASSERT_EQ(o.headers.size(), 2u);
    EXPECT_EQ(o.headers[0], std::make_pair(std::string("A"), std::string("1")));
    EXPECT_EQ(o.headers[1], std::make_pair(std::string("B"), std::string("2")));
    EXPECT_EQ(o.showHeaders, (std::vector<std::string>{"Server", "X-Y"}));
    ClientOptions d;
    ASSERT_TRUE(ParseClientOptions({"http://h/"}, &d, &error));
    EXPECT_EQ(d.showHeaders, (std::vector<std::string>{"Content-Type", "Content-Length"}));
}

TEST(PartNaming, ExtensionsFollowTheContentType) {
    const std::pair<const char*, const char*> cases[] = {
        {"image/jpeg", "jpg"},
        {"Image/JPEG; q=0.9", "jpg"},
        {"image/png", "png"},
        {"text/plain", "txt"},
        {"text/plain; charset=utf-8", "txt"},
        {"text/x-event", "txt"},
        {"application/json", "json"},
        {"application/vnd.onvif+json", "json"},
        {"application/soap+xml", "xml"},
        {"image/tiff", "tiff"},
        {"image/x-portable-anymap", "bin"},
        {"application/octet-stream", "bin"},
        {"", "bin"},
        {"garbage", "bin"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExtensionFor(c.first), c.second) << c.first;
    }
    EXPECT_EQ(PartFileName(1, "image/jpeg"), "000001.jpg");
    EXPECT_EQ(PartFileName(123456, "application/json"), "123456.json");
    const struct {
        const char* file;
        long nRound;
        long nRounds;
        const char* name;
    } outputs[] = {
        {"snap.jpg", 3, 10, "snap-0003.jpg"},      {"snap.jpg", 1, 1, "snap.jpg"},
        {"a.b.json", 12, 12345, "a.b-00012.json"}, {"dir.d/out", 2, 5, "dir.d/out-0002"},
        {".hidden", 1, 2, ".hidden-0001"},         {"", 1, 3, ""},
    };
    for (const auto& c : outputs) {
        EXPECT_EQ(NumberedOutputName(c.file, c.nRound, c.nRounds), c.name) << c.file;
    }
    EXPECT_TRUE(IsTextual("text/plain"));
    EXPECT_TRUE(IsTextual("application/json"));
    EXPECT_FALSE(IsTextual("image/jpeg"));
}

// The header's table is the one list: oxr-http's words come from it, and the
// reference's table of error numbers has exactly its rows, in its order.
TEST(ErrorWords, TheHeadersTableIsTheOneList) {
#define ROW(name, text) {name, #name, text},
    const struct {
        int nCode;
        std::string name;
        std::string text;
    } rows[] = {OXR_HTTP_ERROR_TABLE(ROW)};
#undef ROW
    std::string expected;
    for (const auto& r : rows) {
        EXPECT_EQ(ErrorInWords(r.nCode), r.name + " (" + std::to_string(r.nCode) + "): " + r.text);
        expected += r.name + " " + std::to_string(r.nCode) + "\n";
    }
    EXPECT_EQ(ErrorInWords(-99), "unknown error number -99");
    // "| `HTTP_ERR_NAME` | -N | ..." rows of docs/api.md, wherever they are
    std::ifstream doc(OXR_API_MD);
    ASSERT_TRUE(doc.good()) << OXR_API_MD;
    std::string line, documented;
    while (std::getline(doc, line)) {
        if (line.rfind("| `HTTP_ERR_", 0) == 0) {
            const size_t nNameEnd = line.find('`', 3);
            const size_t nValueEnd = line.find('|', nNameEnd + 4);
            std::string value = line.substr(nNameEnd + 4, nValueEnd - nNameEnd - 4);
            value.erase(value.find_last_not_of(' ') + 1);
            documented += line.substr(3, nNameEnd - 3) + " " + value + "\n";
        }
    }
    EXPECT_EQ(documented, expected);
}

SinkSettings Settings(const std::string& dir, long nMaxParts) {
    SinkSettings s;
    s.partsDir = dir;
    s.nMaxParts = nMaxParts;
    return s;
}

// Prepares the sink and begins a transfer into outputFile ("" for none).
void Begin(DeliverySink& sink, const std::string& outputFile = "") {
    std::string error;
    ASSERT_TRUE(sink.Prepare(&error)) << error;
    ASSERT_TRUE(sink.BeginTransfer(outputFile, std::chrono::steady_clock::now(), &error)) << error;
}

TEST(DeliverySink, HeldDeliveriesAreWrittenAsNumberedPartsOnceTheModeIsKnown) {
    const auto dir = FreshDir("parts");
    DeliverySink sink(Settings(dir.string(), 3));
    Begin(sink);
    // The first delivery comes before the main thread knows the mode.
    sink.Deliver("\xff\xd8jpeg-1", 8, "image/jpeg");
    EXPECT_EQ(sink.Stats().nParts, 0);
    sink.SetMode(DeliverySink::Mode::kMultipart, "multipart/x-mixed-replace; boundary=b");
    sink.Deliver("event", 5, "text/plain");
    sink.Deliver("{\"a\":1}", 7, "application/json");
    sink.Deliver("dropped", 7, "text/plain"); // beyond --max-parts 3
    sink.Finish();
    const SinkStats stats = sink.Stats();
    EXPECT_EQ(stats.nParts, 3);
    EXPECT_EQ(stats.nDropped, 1);
    EXPECT_EQ(stats.nBytes, 8 + 5 + 7);
    EXPECT_EQ(ReadFile(dir / "000001.jpg"), std::string("\xff\xd8jpeg-1", 8));
    EXPECT_EQ(ReadFile(dir / "000002.txt"), "event");
    EXPECT_EQ(ReadFile(dir / "000003.json"), "{\"a\":1}");
    EXPECT_FALSE(std::filesystem::exists(dir / "000004.txt"));
    const std::string index = ReadFile(dir / "index.tsv");
    EXPECT_EQ(index.rfind("part\tfile\tbytes\tcontent_type\treceived_unix_ms\n", 0), 0u);
    EXPECT_NE(index.find("\n1\t000001.jpg\t8\timage/jpeg\t"), std::string::npos) << index;
    EXPECT_NE(index.find("\n3\t000003.json\t7\tapplication/json\t"), std::string::npos);
    std::filesystem::remove_all(dir);
}

TEST(DeliverySink, RawBodyGoesToTheOutputFileInPieces) {
    const auto dir = FreshDir("raw");
    std::filesystem::create_directories(dir);
    DeliverySink sink{SinkSettings()};
    Begin(sink, (dir / "body.bin").string());
    sink.SetMode(DeliverySink::Mode::kRaw, "image/jpeg");
    sink.Deliver("abc", 3, "image/jpeg");
    sink.Deliver("defg", 4, "image/jpeg");
    sink.Finish();
    EXPECT_EQ(ReadFile(dir / "body.bin"), "abcdefg");
    EXPECT_EQ(sink.Stats().nBytes, 7);
    EXPECT_EQ(sink.Stats().nParts, 0);
    std::filesystem::remove_all(dir);
}

// A raw body is one part; the parts of later transfers are numbered on.
TEST(DeliverySink, PartsAreNumberedOnAcrossTransfers) {
    const auto dir = FreshDir("rawparts");
    DeliverySink sink(Settings(dir.string(), 0));
    Begin(sink);
    sink.SetMode(DeliverySink::Mode::kRaw, "image/jpeg");
    sink.Deliver("12345", 5, "image/jpeg");
    sink.Deliver("678", 3, "image/jpeg");
    sink.EndTransfer();
    EXPECT_EQ(sink.Stats().nPartFiles, 1);
    std::string error;
    ASSERT_TRUE(sink.BeginTransfer("", std::chrono::steady_clock::now(), &error)) << error;
    sink.SetMode(DeliverySink::Mode::kMultipart, "multipart/mixed; boundary=x");
    sink.Deliver("a", 1, "text/plain");
    sink.Deliver("{}", 2, "application/json");
    sink.Finish();
    EXPECT_EQ(sink.Stats().nPartFiles, 2);
    EXPECT_EQ(ReadFile(dir / "000001.jpg"), "12345678");
    EXPECT_EQ(ReadFile(dir / "000002.txt"), "a");
    EXPECT_EQ(ReadFile(dir / "000003.json"), "{}");
    const std::string index = ReadFile(dir / "index.tsv");
    EXPECT_NE(index.find("\n1\t000001.jpg\t8\timage/jpeg\t"), std::string::npos) << index;
    EXPECT_NE(index.find("\n3\t000003.json\t2\tapplication/json\t"), std::string::npos) << index;
    std::filesystem::remove_all(dir);
}

TEST(DeliverySink, UnwritableOutputIsReportedByBeginTransfer) {
    DeliverySink sink{SinkSettings()};
    std::string error;
    ASSERT_TRUE(sink.Prepare(&error));
    EXPECT_FALSE(
        sink.BeginTransfer("/proc/no-such-dir/out.bin", std::chrono::steady_clock::now(), &error));
    EXPECT_NE(error.find("/proc/no-such-dir/out.bin"), std::string::npos) << error;
}

TEST(DeliverySink, WaitForDeliveryWakesOnADelivery) {
    const auto dir = FreshDir("wait");
    DeliverySink sink(Settings(dir.string(), 0));
    Begin(sink);
    sink.SetMode(DeliverySink::Mode::kMultipart, "multipart/mixed; boundary=x");
    std::thread receiver([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sink.Deliver("x", 1, "text/plain");
    });
    const auto t0 = std::chrono::steady_clock::now();
    sink.WaitForDelivery(std::chrono::milliseconds(5000));
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    receiver.join();
    EXPECT_LT(ms, 4000);
    EXPECT_EQ(sink.Stats().nParts, 1);
    sink.Finish();
    std::filesystem::remove_all(dir);
}

} // namespace
