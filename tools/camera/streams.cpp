#include "streams.h"

#include <chrono>
#include <string>

#include "frame_painter.h"
#include "jpeg_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string StreamHead(const std::string& contentType) {
    return ResponseHead(
        200,
        {{"Content-Type", contentType}, {"Cache-Control", "no-cache"}, {"Pragma", "no-cache"}});
}

std::string CloseDelimiter(const char* pszBoundary) {
    return std::string("--") + pszBoundary + "--\r\n";
}

} // namespace

void ServeVideo(Connection& conn, const Request& request, CameraContext& ctx) {
    const CameraOptions& o = ctx.Options();
    const long nFps = request.QueryNumber("fps", o.nFps, 1, 60);
    const long nFrames = request.QueryNumber("frames", 0, 0, 1000000);
    const long nDropEvery = request.QueryNumber("drop", 0, 0, 1000000);
    const long nDropsMax = request.QueryNumber("drops", 0, 0, 1000000);
    if (!SendText(conn, StreamHead(std::string("multipart/x-mixed-replace; boundary=") +
                                   kVideoBoundary))) {
        return;
    }
    if (request.method == "HEAD") {
        return;
    }
    // A stream the camera cut goes on where it was cut when asked again.
    const DropLedger::Resume resume =
        nDropEvery > 0 ? ctx.drops.Take(request.target) : DropLedger::Resume();
    const auto period = std::chrono::microseconds(1000000 / nFps);
    auto next = Clock::now();
    for (long n = resume.nNextFrame - 1, nHere = 0; nFrames == 0 || n < nFrames; ++n, ++nHere) {
        if (!ctx.SleepUntil(next)) {
            return;
        }
        next += period;
        const unsigned nFrame = static_cast<unsigned>(n + 1);
        const std::vector<uint8_t> jpeg =
            EncodeJpeg(PaintFrame(o.nWidth, o.nHeight, nFrame), o.nQuality,
                       "oxr-demo-camera frame=" + std::to_string(nFrame) +
                           " sent_ms=" + std::to_string(CameraContext::WallClockMs()));
        const std::string partHead =
            std::string("--") + kVideoBoundary +
            "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
            "\r\n\r\n";
        if (nDropEvery > 0 && nHere == nDropEvery &&
            (nDropsMax == 0 || static_cast<long>(resume.nDrops) < nDropsMax)) {
            // Cut in the middle of a frame, as a device that loses power
            // does; noted first, so the client's next request finds it.
            ctx.drops.Put(request.target, DropLedger::Resume{nFrame, resume.nDrops + 1});
            if (SendText(conn, partHead)) {
                SendAll(conn, jpeg.data(), jpeg.size() / 2);
            }
            return;
        }
        if (jpeg.empty() || !SendText(conn, partHead) || !SendAll(conn, jpeg.data(), jpeg.size()) ||
            !SendText(conn, "\r\n")) {
            return;
        }
        ctx.nFramesSent++;
    }
    SendText(conn, CloseDelimiter(kVideoBoundary));
}

void ServeEvents(Connection& conn, const Request& request, CameraContext& ctx) {
    const long nIntervalMs = request.QueryNumber("interval", 500, 20, 10000);
    const long nCount = request.QueryNumber("count", 0, 0, 1000000);
    if (!SendText(conn, StreamHead(std::string("multipart/mixed; boundary=") + kEventBoundary))) {
        return;
    }
    if (request.method == "HEAD") {
        return;
    }
    static const char* const kKinds[] = {"motion", "input", "heartbeat"};
    auto next = Clock::now();
    for (long n = 1; nCount == 0 || n <= nCount; ++n) {
        if (!ctx.SleepUntil(next)) {
            return;
        }
        next += std::chrono::milliseconds(nIntervalMs);
        const std::string kind = kKinds[(n - 1) % 3];
        const std::string sent = std::to_string(CameraContext::WallClockMs());
        std::string part = std::string("--") + kEventBoundary + "\r\n";
        if (n % 3 == 0) {
            const std::string body = "{\"event\":\"" + kind + "\",\"seq\":" + std::to_string(n) +
                                     ",\"sent_ms\":" + sent + "}";
            part += "Content-Type: application/json\r\n\r\n" + body + "\r\n";
        } else {
            const std::string body =
                "event=" + kind + " seq=" + std::to_string(n) + " sent_ms=" + sent + "\n";
            part += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\n\r\n" + body + "\r\n";
        }
        if (!SendText(conn, part)) {
            return;
        }
        ctx.nEventsSent++;
    }
    SendText(conn, CloseDelimiter(kEventBoundary));
}
