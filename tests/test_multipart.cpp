// The multipart receiver: parts split at the boundary and delivered whole,
// with their length and type, whatever the stream's quirks and pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "delivery_log.h"
#include "fail_alloc.h"
#include "http_request.h"
#include "http_splitter.h"
#include "request_harness.h"
#include "stream_builder.h"
#include "test_server.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Parts; // data, type

// What a stream of these parts must deliver: each body with its own type,
// or the previous part's type when it names none.
Parts Expected(const std::vector<TestPart>& parts) {
    Parts out;
    std::string type;
    for (const TestPart& p : parts) {
        if (!p.type.empty()) {
            type = p.type;
        }
        out.emplace_back(p.body, type);
    }
    return out;
}

Parts Delivered(const CDeliveryLog& log) {
    Parts out;
    for (const Delivery& d : log.All()) {
        out.emplace_back(d.data, d.type);
    }
    return out;
}

struct Rig : ReceiverRig {
    // Every delivery came with multipart's arguments and a terminated type.
    void CheckArguments(const char* pszName) {
        for (const Delivery& d : log.All()) {
            EXPECT_EQ(d.nFirstArg, 0) << pszName;
            EXPECT_EQ(d.pUserData, &log) << pszName;
            EXPECT_TRUE(d.bTypeEnded) << pszName;
        }
    }
};

TestPart Part(const std::string& body, const std::string& type = "image/jpeg") {
    TestPart p;
    p.body = body;
    p.type = type;
    return p;
}

TestPart Lengthless(const std::string& body, const std::string& type = "image/jpeg") {
    TestPart p = Part(body, type);
    p.bLength = false;
    return p;
}

struct StreamRow {
    const char* name;
    std::string contentType;  // of the response
    std::string extraLines;   // further response head lines
    std::string body;         // the multipart body as sent
    std::vector<size_t> ends; // piece ends within the body (the head goes with the first piece)
    Parts expected;
    int nEnd = HTTP_END_NONE; // why the receiver ended, when the row says
};

std::vector<StreamRow> StreamRows() {
    const std::string big = BinaryBytes(100000, 1);
    const std::string open50k = BinaryBytes(50000, 2);
    const std::string open300k = BinaryBytes(300000, 3);
    const std::string small = BinaryBytes(700, 4);
    const std::string b80(80, 'q');
    const std::string longType = "application/" + std::string(90, 'x');

    std::vector<TestPart> three = {Part("first"), Part("second", "text/plain"), Part("third")};
    std::vector<TestPart> typeless = {Part("a", ""), Part("b", "text/plain"), Part("c", ""),
                                      Part("d", "image/png")};
    std::vector<TestPart> zero = {Part("x"), Part(""), Part("y")};
    std::vector<TestPart> open = {Lengthless(small), Lengthless(""), Part("sized"),
                                  Lengthless(open50k, "video/x")};
    std::vector<TestPart> openHuge = {Lengthless(open300k), Part("after")};
    TestPart negative = Part("neg body");
    negative.lengthText = "-5";
    TestPart noDigits = Part("no digits");
    noDigits.lengthText = "none";
    std::vector<TestPart> badLengths = {negative, noDigits, Part("ok")};
    std::vector<TestPart> mixed = {Part(big), Lengthless(small, "text/x"), Part("z"), Part("")};
    std::string mixedBody = MultipartBody("fr", mixed, true);
    // After a part that needed its own block, heads are read in small steps.
    TestPart padded = Part(BinaryBytes(70000, 5), "image/png");
    for (int i = 0; i < 400; ++i) {
        padded.extraHead += "X-Pad: " + std::string(18, 'p') + "\r\n";
    }
    std::vector<TestPart> largeRun = {Part(big), padded, Part("tail")};

    std::vector<size_t> every7;
    for (size_t n = 7; n < mixedBody.size() + 64; n += 7) {
        every7.push_back(n);
    }
    std::vector<size_t> bytewise;
    for (size_t n = 1; n <= 90; ++n) {
        bytewise.push_back(n);
    }
    std::vector<size_t> awkward; // inside a delimiter, inside a head's CR LF CR LF, inside a body
    std::string threeBody = MultipartBody("fr", three);
    for (const char* marker : {"-fr", "\r\n\r\nsec", "cond", "--fr\r\nContent-T"}) {
        awkward.push_back(threeBody.find(marker) + 2);
    }

    // A device whose lines end in LF alone: the same parts. The sized body
    // holds an empty line and a delimiter look-alike that must not cut it.
    std::vector<TestPart> lfParts = {Part("one\n\n--fr\nContent-Length: 1\n\nX"),
                                     Lengthless("two", "text/plain"), Part("", ""),
                                     Lengthless("three\n--frnot\n")};
    std::string lfBody = MultipartBody("fr", lfParts, true);
    for (size_t at = lfBody.find("\r\n"); at != std::string::npos; at = lfBody.find("\r\n", at)) {
        lfBody.replace(at, 2, "\n");
    }
    const std::string mixedLf = "--fr\nContent-Type: a/b\r\nContent-Length: 2\n\r\nab\r\n"
                                "--fr\r\nContent-Type: c/d\n\r\ncd\n--fr\r\n\nef\r\n--fr--\n";
    std::vector<size_t> lfEvery3;
    for (size_t n = 3; n < lfBody.size(); n += 3) {
        lfEvery3.push_back(n);
    }

    const std::string anyCase = "--fr\r\ncontent-type: text/a\r\ncontent-LENGTH: 2\r\n\r\nab\r\n"
                                "--fr\r\nCONTENT-TYPE:text/b\r\nCONTENT-LENGTH:3\r\n\r\ncde\r\n";
    const std::string preamble = "This is a preamble.\r\n--frx is no delimiter\r\n";
    // The boundary text inside lines is no delimiter: nothing of it is a part.
    const std::string wordy = "see fr here\r\n\r\nstuff\r\n";
    const std::string stray = PartBytes("fr", Part("first")) + "not a fr\r\n\r\n" +
                              MultipartBody("fr", {Part("second", "text/plain"), Part("third")});
    // After the closing delimiter everything is epilogue, delimiters included.
    const std::string epilogue =
        MultipartBody("fr", three, true) + "epilogue text\r\n--fr\r\nContent-Length: 4\r\n\r\nEVIL";
    const std::string closedThenText = MultipartBody("fr", three, true) + "\r\nmore text\r\n";

    std::vector<StreamRow> rows = {
        {"three parts, one send", MultipartType("fr"), "", threeBody, {}, Expected(three)},
        {"head sent apart from the body", MultipartType("fr"), "", threeBody, {0}, Expected(three)},
        {"quoted boundary", MultipartType("\"fr\""), "", threeBody, {}, Expected(three)},
        {"blanks after the equals sign",
         MultipartType("   fr"),
         "",
         threeBody,
         {},
         Expected(three)},
        {"parameter after the boundary",
         MultipartType("fr; charset=x"),
         "",
         threeBody,
         {},
         Expected(three)},
        {"quoted, then a parameter",
         "multipart/mixed; boundary= \"fr\"; x=1",
         "",
         threeBody,
         {},
         Expected(three)},
        {"part types carried over",
         MultipartType("fr"),
         "",
         MultipartBody("fr", typeless),
         {},
         Expected(typeless)},
        {"zero-length part",
         MultipartType("fr"),
         "",
         MultipartBody("fr", zero),
         {},
         Expected(zero)},
        {"lines ending in LF alone", MultipartType("fr"), "", lfBody, {}, Expected(lfParts)},
        {"LF alone, three bytes at a time", MultipartType("fr"), "", lfBody, lfEvery3,
         Expected(lfParts)},
        {"LF and CR LF mixed",
         MultipartType("fr"),
         "",
         mixedLf,
         {},
         Parts{{"ab", "a/b"}, {"cd", "c/d"}, {"ef", "c/d"}}},
        {"names in any case",
         MultipartType("fr"),
         "",
         anyCase,
         {},
         Parts{{"ab", "text/a"}, {"cde", "text/b"}}},
        {"part larger than the part buffer",
         MultipartType("fr"),
         "",
         MultipartBody("fr", {Part(big), Part("tail")}),
         {},
         Parts{{big, "image/jpeg"}, {"tail", "image/jpeg"}}},
        {"large parts, a 10 KB head between them",
         MultipartType("fr"),
         "",
         MultipartBody("fr", largeRun),
         {},
         Expected(largeRun)},
        {"parts without a length",
         MultipartType("fr"),
         "",
         MultipartBody("fr", open, true),
         {},
         Expected(open)},
        {"lengthless part of 300 KB",
         MultipartType("fr"),
         "",
         MultipartBody("fr", openHuge),
         {},
         Expected(openHuge)},
        {"lengthless part in small pieces",
         MultipartType("fr"),
         "",
         MultipartBody("fr", open, true),
         {100, 1000, 5000, 16000, 16500, 40000, 50500},
         Expected(open)},
        {"negative or wordless length",
         MultipartType("fr"),
         "",
         MultipartBody("fr", badLengths),
         {},
         Expected(badLengths)},
        {"one byte at a time", MultipartType("fr"), "",
         MultipartBody("fr", {Part("ab"), Lengthless("cd")}, true), bytewise,
         Parts{{"ab", "image/jpeg"}, {"cd", "image/jpeg"}}},
        {"pieces ending at awkward places", MultipartType("fr"), "", threeBody, awkward,
         Expected(three)},
        {"preamble before the first part",
         MultipartType("fr"),
         "",
         preamble + threeBody,
         {},
         Expected(three)},
        {"boundary text inside preamble lines",
         MultipartType("fr"),
         "",
         wordy + threeBody,
         {},
         Expected(three)},
        {"the same a byte at a time", MultipartType("fr"), "", wordy + threeBody, bytewise,
         Expected(three)},
        {"stray line after a sized part", MultipartType("fr"), "", stray, {}, Expected(three)},
        {"epilogue with a delimiter and a part head",
         MultipartType("fr"),
         "",
         epilogue,
         {},
         Expected(three),
         HTTP_END_CLOSING_DELIMITER},
        {"closing delimiter, then a blank line and text",
         MultipartType("fr"),
         "",
         closedThenText,
         {},
         Expected(three),
         HTTP_END_CLOSING_DELIMITER},
        {"delimiter in other case is no delimiter",
         MultipartType("fr"),
         "",
         "--FR\r\nContent-Length: 1\r\n\r\nX\r\n" + threeBody,
         {},
         Expected(three)},
        {"boundary of 80 characters",
         MultipartType(b80),
         "",
         MultipartBody(b80, three),
         {},
         Expected(three)},
        {"boundary beginning with dashes",
         MultipartType("--myb"),
         "",
         MultipartBody("myb", {Part("a"), Lengthless("bb")}, true),
         {},
         Parts{{"a", "image/jpeg"}, {"bb", "image/jpeg"}}},
        {"long part type cut",
         MultipartType("fr"),
         "",
         MultipartBody("fr", {Part("t", longType)}),
         {},
         Parts{{"t", longType.substr(0, 67)}}},
        {"chunked",
         MultipartType("fr"),
         "Transfer-Encoding: chunked\r\n",
         Chunked(mixedBody, {1, 2, 30, 100, 16000, 16390, 100100, 100200}),
         {},
         Expected(mixed)},
        {"chunked, every 7 bytes, with extensions",
         MultipartType("fr"),
         "Transfer-Encoding: Chunked\r\n",
         Chunked(mixedBody, every7, true, ";e=1"),
         {3, 9, 5000},
         Expected(mixed)},
        {"chunked named among others, in capitals",
         "multipart/mixed; boundary= \"fr\"; x=1",
         "transfer-encoding: gzip, CHUNKED\r\n",
         Chunked(threeBody, {40}),
         {},
         Expected(three)},
        {"chunked, one chunk, sent byte by byte at first",
         MultipartType("fr"),
         "Transfer-Encoding: chunked\r\n",
         Chunked(threeBody, {}),
         {1, 2, 3, 4, 5, 6, 7, 8},
         Expected(three)},
    };
    return rows;
}

TEST(Multipart, DeliversEveryPartWholeAndInOrder) {
    for (const StreamRow& r : StreamRows()) {
        const std::string head = ResponseHead(r.contentType, r.extraLines);
        std::vector<size_t> ends;
        for (size_t e : r.ends) {
            ends.push_back(head.size() + e);
        }
        Rig rig;
        ASSERT_EQ(rig.Go(CTestScript().WaitRequest().SendSplit(head + r.body, ends, 2)), 0)
            << r.name;
        ASSERT_TRUE(WaitReceiverEnd(rig.req, 5000)) << r.name;
        if (r.nEnd != HTTP_END_NONE) {
            EXPECT_EQ(rig.req.GetReceiver().GetEndReason(), r.nEnd) << r.name;
        }
        Parts got = Delivered(rig.log);
        EXPECT_EQ(got.size(), r.expected.size()) << r.name;
        for (size_t i = 0; i < got.size() && i < r.expected.size(); ++i) {
            EXPECT_EQ(got[i].first.size(), r.expected[i].first.size()) << r.name << " part " << i;
            EXPECT_TRUE(got[i].first == r.expected[i].first) << r.name << " part " << i;
            EXPECT_EQ(got[i].second, r.expected[i].second) << r.name << " part " << i;
        }
        rig.CheckArguments(r.name);
    }
}

// A "boundary" without "=" names no boundary: the stream is raw.
TEST(Multipart, BoundaryWithoutValueMeansRaw) {
    Rig rig;
    const std::string head = ResponseHead("multipart/x-mixed-replace; boundary");
    ASSERT_EQ(rig.Go(CTestScript().WaitRequest().Send(head + "--fr\r\n\r\nraw")), 0);
    ASSERT_TRUE(WaitReceiverEnd(rig.req, 3000));
    EXPECT_EQ(rig.log.Joined(), "--fr\r\n\r\nraw");
    ASSERT_GE(rig.log.Count(), 1u);
    EXPECT_EQ(rig.log.At(0).nFirstArg, 37);
}

TEST(Multipart, AThousandSmallPartsInOrder) {
    std::vector<TestPart> parts;
    for (int i = 0; i < 1000; ++i) {
        TestPart p = Part(BinaryBytes(static_cast<size_t>(i * 7 % 301), static_cast<unsigned>(i)),
                          i % 3 == 0 ? "image/jpeg" : (i % 3 == 1 ? "" : "text/event"));
        if (i % 10 == 9) {
            p.bLength = false;
        }
        parts.push_back(p);
    }
    const std::string body = MultipartBody("frame", parts, true);
    Rig rig;
    ASSERT_EQ(rig.Go(CTestScript()
                         .WaitRequest()
                         .Send(ResponseHead(MultipartType("frame")))
                         .SendPieces(body, 1499, 0)),
              0);
    ASSERT_TRUE(WaitReceiverEnd(rig.req, 10000));
    EXPECT_TRUE(Delivered(rig.log) == Expected(parts));
    rig.CheckArguments("thousand");
}

TEST(Multipart, APartOfSeveralMegabytesInOneCall) {
    const std::string frame = BinaryBytes(6 << 20, 5);
    Rig rig;
    ASSERT_EQ(rig.Go(CTestScript()
                         .WaitRequest()
                         .Send(ResponseHead(MultipartType("fr")))
                         .Send(MultipartBody("fr", {Part(frame), Part("next")}))),
              0);
    ASSERT_TRUE(WaitReceiverEnd(rig.req, 10000));
    ASSERT_EQ(rig.log.Count(), 2u);
    EXPECT_EQ(rig.log.At(0).data.size(), frame.size());
    EXPECT_TRUE(rig.log.At(0).data == frame);
    EXPECT_EQ(rig.log.At(1).data, "next");
}

// A small complete part is handed on as soon as it is in, not when the next
// bytes happen to arrive.
TEST(Multipart, ASmallPartIsNotHeldBackByAPauseAfterIt) {
    Rig rig;
    ASSERT_EQ(rig.Go(CTestScript()
                         .WaitRequest()
                         .Send(ResponseHead(MultipartType("fr")))
                         .Pause(100)
                         .Mark(1)
                         .Send(MultipartBody("fr", {Part("tiny")}))
                         .Pause(3000)
                         .Send(MultipartBody("fr", {Part("late")}))),
              0);
    ASSERT_TRUE(rig.server.WaitMark(1, 3000));
    const int64_t t0 = OXR_TickMs();
    EXPECT_TRUE(rig.log.WaitCount(1, 500));
    ASSERT_EQ(rig.log.Count(), 1u);
    EXPECT_LT(rig.log.At(0).tMs - t0, 500);
    EXPECT_EQ(rig.log.At(0).data, "tiny");
}

struct IncompleteRow {
    const char* name;
    std::string extraLines;
    std::string body; // sent whole, then the script goes on
    bool bStall;      // hold the connection open instead of closing it
};

// A complete part is delivered; the incomplete one after it never is, and
// the receiver ends.
TEST(Multipart, IncompleteBodiesAreNeverDelivered) {
    const std::string done = PartBytes("fr", Part("done"));
    TestPart longer = Part(std::string(1000, 'L'));
    const std::string cutSized = PartBytes("fr", longer).substr(0, 600);
    const std::string cutOpen =
        PartBytes("fr", Lengthless(std::string(30000, 'o'))).substr(0, 20000);
    TestPart huge = Part("h");
    huge.lengthText = "2000000000";
    const std::string hugeHead = PartBytes("fr", huge);
    const IncompleteRow rows[] = {
        {"sized body, peer closes", "", done + cutSized, false},
        {"sized body, stalls past the time-out", "", done + cutSized, true},
        {"lengthless body, peer closes before a delimiter", "", done + cutOpen, false},
        {"lengthless body, stalls", "", done + cutOpen, true},
        {"chunked stream ends inside a body", "Transfer-Encoding: chunked\r\n",
         Chunked(done + cutSized, {}), true},
        {"part head that does not fit the part buffer", "",
         done + "--fr\r\nX-Pad: " + std::string(kHttpRecvBufSize, 'p'), true},
        {"length beyond any frame", "", done + hugeHead + "abc", true},
        {"malformed chunk framing", "Transfer-Encoding: chunked\r\n",
         Chunked(done, {}, false) + "zz\r\n" + cutSized, true},
    };
    for (const IncompleteRow& r : rows) {
        Rig rig;
        rig.req.GetReceiver().SetStreamTimeOut(200);
        CTestScript script;
        script.WaitRequest().Send(ResponseHead(MultipartType("fr"), r.extraLines)).Send(r.body);
        if (r.bStall) {
            script.WaitPeerClose(5000);
        }
        ASSERT_EQ(rig.Go(script), 0) << r.name;
        ASSERT_TRUE(WaitReceiverEnd(rig.req, 3000)) << r.name;
        EXPECT_EQ(Delivered(rig.log), (Parts{{"done", "image/jpeg"}})) << r.name;
    }
}

TEST(Multipart, AfterTheClosingDelimiterTheReceiverWaitsThenEnds) {
    Rig rig;
    rig.req.GetReceiver().SetStreamTimeOut(300);
    ASSERT_EQ(rig.Go(CTestScript()
                         .WaitRequest()
                         .Send(ResponseHead(MultipartType("fr")))
                         .Send(MultipartBody("fr", {Part("only")}, true))
                         .WaitPeerClose(5000)),
              0);
    ASSERT_TRUE(rig.log.WaitCount(1, 2000));
    const int64_t t0 = OXR_TickMs();
    ASSERT_TRUE(WaitReceiverEnd(rig.req, 3000));
    EXPECT_GE(OXR_TickMs() - t0, 150);
    EXPECT_EQ(rig.log.Count(), 1u);
    // the connection stays open until Close
    EXPECT_TRUE(rig.req.IsConnected());
    EXPECT_EQ(rig.req.Close(), 0);
    ASSERT_TRUE(rig.server.WaitDone(3000));
    EXPECT_TRUE(rig.server.PeerClosed(0));
}

TEST(Multipart, NoMemoryForABodyEndsTheReceiver) {
    Rig rig;
    ASSERT_EQ(rig.Go(CTestScript()
                         .WaitRequest()
                         .Send(ResponseHead(MultipartType("fr")))
                         .Pause(200)
                         .Send(MultipartBody("fr", {Part(std::string(40000, 'm')), Part("x")}))
                         .WaitPeerClose(3000)),
              0);
    // the receiver is running: its next non-throwing allocation is the body block
    FailNothrowNewAfter(0);
    EXPECT_TRUE(WaitReceiverEnd(rig.req, 3000));
    ResetNothrowNew();
    EXPECT_EQ(rig.log.Count(), 0u);
}

// The device's bytes up to an offset, then its close (0) or a reset (-1).
struct CutSource {
    std::string bytes;
    size_t nCut;
    int nEnd;
    size_t nAt = 0;
    static int Read(void* pCtx, char* p, int nLen) {
        CutSource* s = static_cast<CutSource*>(pCtx);
        if (s->nAt >= s->nCut) {
            return s->nEnd;
        }
        // Reads of 7 bytes: pieces end everywhere.
        size_t n = std::min<size_t>({7, static_cast<size_t>(nLen), s->nCut - s->nAt});
        std::memcpy(p, s->bytes.data() + s->nAt, n);
        s->nAt += n;
        return static_cast<int>(n);
    }
};

// Close or reset at every byte offset of a response: no hang, nothing
// incomplete, every part complete before the offset delivered exactly once.
TEST(Multipart, ThePeerEndsAtEveryOffset) {
    std::vector<TestPart> parts = {Part(BinaryBytes(300, 1)), Lengthless("event", "text/plain"),
                                   Part("last", "")};
    const std::string head = ResponseHead(MultipartType("fr"));
    const std::string body = MultipartBody("fr", parts, true);
    const std::string chunkedHead =
        ResponseHead(MultipartType("fr"), "Transfer-Encoding: chunked\r\n");
    const std::string chunked = Chunked(body, {50, 333, 334, 400});
    // Where each part can be known complete in the plain stream: a sized body
    // with its last byte, a lengthless one with the byte after the boundary
    // of the delimiter line that ends it.
    std::vector<size_t> complete;
    size_t at = head.size();
    for (const TestPart& p : parts) {
        at = head.size() + body.find(p.body, at - head.size()) + p.body.size();
        complete.push_back(p.bLength ? at : at + std::string("\r\n--fr").size() + 1);
    }
    const Parts expected = Expected(parts);
    int nReceived = 0;
    for (int bChunked = 0; bChunked < 2; ++bChunked) {
        const std::string stream = bChunked != 0 ? chunkedHead + chunked : head + body;
        for (size_t nCut = 0; nCut <= stream.size(); ++nCut) {
            for (int nEnd : {0, -1}) {
                CutSource src{stream, nCut, nEnd};
                const HttpByteSource source = {CutSource::Read, nullptr, &src};
                CDeliveryLog log;
                CHttpRequest req;
                req.GetConnection().SetSource(&source);
                req.SetDataCallback(1, CDeliveryLog::Callback, &log);
                if (req.RecvHead(1000) == 0) {
                    ++nReceived;
                    req.ReceiveHere();
                    EXPECT_EQ(req.GetReceiver().GetStreamState(), HTTP_STREAM_ENDED);
                }
                const Parts got = Delivered(log);
                ASSERT_LE(got.size(), expected.size()) << nCut;
                for (size_t i = 0; i < got.size(); ++i) {
                    ASSERT_EQ(got[i], expected[i]) << "offset " << nCut << " part " << i;
                }
                if (bChunked == 0) {
                    size_t nDue = 0;
                    while (nDue < complete.size() && complete[nDue] <= nCut) {
                        ++nDue;
                    }
                    EXPECT_EQ(got.size(), nDue) << "offset " << nCut << " end " << nEnd;
                } else if (nCut == stream.size()) {
                    EXPECT_EQ(got.size(), expected.size());
                }
            }
        }
    }
    // every offset behind the head had a receiver
    EXPECT_GT(nReceived, 2 * static_cast<int>(body.size()));
}

TEST(Multipart, WithoutACallbackTheStreamIsStillRead) {
    CTestServer server;
    server.Add(CTestScript()
                   .WaitRequest()
                   .Send(ResponseHead(MultipartType("fr")))
                   .Send(MultipartBody("fr", {Part(BinaryBytes(50000, 8)), Part("b")})));
    ASSERT_TRUE(server.Start());
    CHttpRequest req;
    ASSERT_EQ(ExchangeAndReceive(req, server), 0);
    EXPECT_TRUE(req.GetReceiver().HasThread());
    EXPECT_TRUE(WaitReceiverEnd(req, 3000));
}

// ---------------------------------------------------------------- the splitter alone

struct FedRow {
    const char* name;
    std::string bytes;
    size_t nPiece; // fed in pieces of this many bytes (0: whole)
    std::vector<std::string> parts;
    CHttpPartSplitter::Result result; // of the last Feed
    bool bClosing;
    size_t nMostReserved; // the largest block it may allocate (0: not looked at)
};

void Collect(void* pCtx, char* pData, int nLen, const char*) {
    static_cast<std::vector<std::string>*>(pCtx)->emplace_back(pData, static_cast<size_t>(nLen));
}

// Preambles, stray lines and epilogues are never parts; the part head limit
// holds however the bytes come; a claimed length reserves little by itself.
TEST(Splitter, BytesFedStraightIn) {
    const std::string sized = "--b\r\nContent-Length: 2\r\n\r\nok\r\n";
    const std::string closed = sized + "--b--\r\n";
    std::string headMax = "--b\r\nContent-Length: 1\r\nX-Pad: ";
    headMax += std::string(kHttpPartHeadMax - headMax.size() - 4, 'p') + "\r\n\r\nx";
    const std::string head20k =
        "--b\r\nX-Pad: " + std::string(20 * 1024, 'p') + "\r\nContent-Length: 1\r\n\r\nx";
    const std::string claim = "--b\r\nContent-Length: 67108864\r\n\r\n" + std::string(100000, 'c');
    const auto kGoOn = CHttpPartSplitter::kGoOn;
    const auto kFraming = CHttpPartSplitter::kFraming;
    const FedRow rows[] = {
        {"boundary text in preamble lines",
         "see b here\r\n\r\nstuff\r\n" + sized,
         0,
         {"ok"},
         kGoOn,
         false,
         0},
        {"the same a byte at a time",
         "see b here\r\n\r\nstuff\r\n" + sized,
         1,
         {"ok"},
         kGoOn,
         false,
         0},
        {"stray line after a sized part",
         sized + "not a b\r\n\r\n" + sized,
         0,
         {"ok", "ok"},
         kGoOn,
         false,
         0},
        {"epilogue with a delimiter and a head",
         closed + "epilogue text\r\n--b\r\nContent-Length: 4\r\n\r\nEVIL",
         7,
         {"ok"},
         kGoOn,
         true,
         0},
        {"closing delimiter, blank line, text", closed + "\r\ntext\r\n", 0, {"ok"}, kGoOn, true, 0},
        {"closing delimiter at the very end", sized + "--b--", 0, {"ok"}, kGoOn, true, 0},
        {"largest part head, whole", headMax, 0, {"x"}, kGoOn, false, 0},
        {"largest part head, 1000 bytes at a time", headMax, 1000, {"x"}, kGoOn, false, 0},
        {"20 KiB part head, whole", head20k, 0, {}, kFraming, false, 0},
        {"20 KiB part head, 1000 bytes at a time", head20k, 1000, {}, kFraming, false, 0},
        {"64 MiB claimed, 100 KB came", claim, 0, {}, kGoOn, false, 100000 + (1 << 20) + 4096},
    };
    for (const FedRow& r : rows) {
        std::vector<std::string> parts;
        ResetNothrowNew();
        {
            CHttpPartSplitter splitter("b", Collect, &parts);
            CHttpPartSplitter::Result result = kGoOn;
            const size_t nPiece = r.nPiece == 0 ? r.bytes.size() : r.nPiece;
            for (size_t at = 0; at < r.bytes.size() && result == kGoOn; at += nPiece) {
                const size_t n = std::min(nPiece, r.bytes.size() - at);
                result = splitter.Feed(r.bytes.data() + at, static_cast<int>(n));
            }
            EXPECT_EQ(result, r.result) << r.name;
            EXPECT_EQ(splitter.SawClosingDelimiter(), r.bClosing) << r.name;
        }
        EXPECT_EQ(parts, r.parts) << r.name;
        if (r.nMostReserved != 0) {
            EXPECT_LE(LargestNothrowNew(), r.nMostReserved) << r.name;
        }
    }
}

} // namespace
