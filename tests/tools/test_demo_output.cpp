// What tools/demo.sh left behind: every saved picture decodes, every part
// file has the size its index gives, the command was answered, the polled
// snapshots came over one connection, and the stream the camera cut twice
// brought every frame once, in order.
// The directory comes in the environment variable OXR_DEMO_OUT.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "jpeg_check.h"

namespace fs = std::filesystem;

namespace {

struct Entry {
    std::string file;
    long nBytes;
    std::string type;
};

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<Entry> Index(const fs::path& dir) {
    std::vector<Entry> entries;
    std::istringstream in(ReadFile(dir / "index.tsv"));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string part, bytes, stamp;
        Entry e;
        std::getline(f, part, '\t');
        std::getline(f, e.file, '\t');
        std::getline(f, bytes, '\t');
        std::getline(f, e.type, '\t');
        e.nBytes = std::stol(bytes);
        entries.push_back(e);
    }
    return entries;
}

fs::path Out() {
    const char* psz = std::getenv("OXR_DEMO_OUT");
    return psz != nullptr ? fs::path(psz) : fs::path("demo-out");
}

void ExpectValidJpegs(const fs::path& dir, size_t nAtLeast) {
    const std::vector<Entry> entries = Index(dir);
    EXPECT_GE(entries.size(), nAtLeast) << dir;
    for (const Entry& e : entries) {
        EXPECT_EQ(e.type, "image/jpeg");
        EXPECT_EQ(static_cast<long>(fs::file_size(dir / e.file)), e.nBytes) << e.file;
        const JpegInfo info = DecodeJpegFile((dir / e.file).string());
        EXPECT_TRUE(info.bValid) << dir / e.file << ": " << info.error;
        EXPECT_EQ(info.nWidth, 320);
        EXPECT_EQ(info.nHeight, 240);
    }
}

TEST(DemoOutput, SnapshotIsAValidJpeg) {
    ExpectValidJpegs(Out() / "snapshot", 1);
}

TEST(DemoOutput, TenPolledSnapshotsOverOneConnection) {
    ExpectValidJpegs(Out() / "poll", 10);
    EXPECT_EQ(Index(Out() / "poll").size(), 10u);
    const std::string log = ReadFile(Out() / "poll-log.txt");
    EXPECT_NE(log.find("oxr-http: 10 requests over 1 connection\n"), std::string::npos) << log;
}

TEST(DemoOutput, EveryVideoFrameIsAValidJpeg) {
    ExpectValidJpegs(Out() / "video", 15); // 3 s at 15 frames/s, with room to spare
}

TEST(DemoOutput, TheStreamCutTwiceArrivedWholeOnceAndInOrder) {
    const fs::path dir = Out() / "drops";
    ExpectValidJpegs(dir, 24);
    const std::vector<Entry> entries = Index(dir);
    EXPECT_EQ(entries.size(), 24u);
    for (size_t i = 0; i < entries.size(); ++i) {
        const JpegInfo info = DecodeJpegFile((dir / entries[i].file).string());
        EXPECT_NE(info.comment.find("frame=" + std::to_string(i + 1) + " "), std::string::npos)
            << entries[i].file << ": " << info.comment;
    }
    const std::string log = ReadFile(Out() / "drops-log.txt");
    EXPECT_NE(log.find("\nreconnects: 2 (peer-closed 2)\n"), std::string::npos) << log;
}

TEST(DemoOutput, EventsArrivedWithTheirTypes) {
    const std::vector<Entry> entries = Index(Out() / "events");
    ASSERT_EQ(entries.size(), 8u);
    for (const Entry& e : entries) {
        const std::string text = ReadFile(Out() / "events" / e.file);
        EXPECT_EQ(static_cast<long>(text.size()), e.nBytes);
        EXPECT_NE(text.find("sent_ms"), std::string::npos) << text;
    }
}

TEST(DemoOutput, CommandWasAnswered) {
    EXPECT_EQ(ReadFile(Out() / "command.txt"), "OK exposure=auto\n");
}

} // namespace
