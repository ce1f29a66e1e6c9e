#include "routes.h"

#include "camera_auth.h"
#include "frame_painter.h"
#include "jpeg_writer.h"
#include "streams.h"

namespace {

void ServeSnapshot(Connection& conn, const Request& request, CameraContext& ctx) {
    if (!Admit(conn, request, ctx)) {
        return;
    }
    const CameraOptions& o = ctx.Options();
    const unsigned nFrame = ctx.nRequests.load();
    const std::vector<uint8_t> jpeg =
        EncodeJpeg(PaintFrame(o.nWidth, o.nHeight, nFrame), o.nQuality,
                   "oxr-demo-camera frame=" + std::to_string(nFrame) +
                       " sent_ms=" + std::to_string(CameraContext::WallClockMs()));
    if (jpeg.empty()) {
        SendResponse(conn, request, 500, "text/plain", "encoding failed\n");
        return;
    }
    SendResponse(conn, request, 200, "image/jpeg", std::string(jpeg.begin(), jpeg.end()));
}

std::string StatusText(const CameraContext& ctx) {
    const CameraOptions& o = ctx.Options();
    return "model=oxr-demo-camera\n"
           "resolution=" +
           std::to_string(o.nWidth) + "x" + std::to_string(o.nHeight) +
           "\n"
           "fps=" +
           std::to_string(o.nFps) + "\nuptime_ms=" + std::to_string(ctx.UptimeMs()) +
           "\nrequests=" + std::to_string(ctx.nRequests.load()) +
           "\nframes_sent=" + std::to_string(ctx.nFramesSent.load()) +
           "\nevents_sent=" + std::to_string(ctx.nEventsSent.load()) + "\n";
}

// Tells the client what it sent: method, headers and body, for checking a client.
std::string EchoText(const Request& request) {
    std::string text = "method=" + request.method + "\ntarget=" + request.target + "\n";
    for (const auto& h : request.headers) {
        text += "header " + h.first + ": " + h.second + "\n";
    }
    text += "body_length=" + std::to_string(request.body.size()) + "\n";
    text += "body=" + request.body + "\n";
    return text;
}

void ServeAdmin(Connection& conn, const Request& request, CameraContext& ctx) {
    if (!Admit(conn, request, ctx)) {
        return;
    }
    if (request.path == "/cgi-bin/admin/reboot") {
        SendResponse(conn, request, 200, "text/plain",
                     "OK reboot accepted (demo camera: nothing restarts)\n");
    } else if (request.path == "/cgi-bin/admin/set" && !request.query.empty()) {
        SendResponse(conn, request, 200, "text/plain", "OK " + request.query + "\n");
    } else {
        SendResponse(conn, request, 404, "text/plain", "no such command\n");
    }
}

} // namespace

bool SendResponse(Connection& conn, const Request& request, int nStatus,
                  const std::string& contentType, const std::string& body, HeaderList extra) {
    extra.emplace_back("Content-Type", contentType);
    extra.emplace_back("Content-Length", std::to_string(body.size()));
    const std::string head = ResponseHead(nStatus, extra);
    if (!SendText(conn, head)) {
        return false;
    }
    return request.method == "HEAD" || SendText(conn, body);
}

void ServeRequest(Connection& conn, const Request& request, CameraContext& ctx) {
    ctx.nRequests++;
    const std::string& path = request.path;
    if (path == "/snapshot.jpg") {
        ServeSnapshot(conn, request, ctx);
    } else if (path == "/video.mjpg") {
        if (Admit(conn, request, ctx)) {
            ServeVideo(conn, request, ctx);
        }
    } else if (path == "/events") {
        ServeEvents(conn, request, ctx);
    } else if (path == "/cgi-bin/status") {
        SendResponse(conn, request, 200, "text/plain", StatusText(ctx));
    } else if (path == "/cgi-bin/echo") {
        SendResponse(conn, request, 200, "text/plain", EchoText(request));
    } else if (path.compare(0, 15, "/cgi-bin/admin/") == 0) {
        ServeAdmin(conn, request, ctx);
    } else if (path == "/status") {
        const int nStatus = static_cast<int>(request.QueryNumber("code", 200, 200, 599));
        SendResponse(conn, request, nStatus, "text/plain",
                     "status " + std::to_string(nStatus) + "\n");
    } else if (path == "/cut") {
        // Half a head, then the connection ends: a device rebooting mid-answer.
        conn.Write("HTTP/1.1 200 OK\r\nContent-", 25);
    } else if (path == "/slow") {
        if (ctx.SleepMs(request.QueryNumber("ms", 1000, 0, 30000))) {
            SendResponse(conn, request, 200, "text/plain", "slow answer\n");
        }
    } else {
        SendResponse(conn, request, 404, "text/plain", "not found\n");
    }
}
