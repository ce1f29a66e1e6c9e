#include "routes.h"

#include <algorithm>
#include <cstdio>

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
           "\nconnections=" + std::to_string(ctx.nConnections.load()) +
           "\nrequests=" + std::to_string(ctx.nRequests.load()) +
           "\nframes_sent=" + std::to_string(ctx.nFramesSent.load()) +
           "\nevents_sent=" + std::to_string(ctx.nEventsSent.load()) + "\n";
}

// What the camera is, as JSON: the same for the whole run, so a client's copy
// can be compared byte for byte.
std::string InfoJson(const CameraContext& ctx) {
    const CameraOptions& o = ctx.Options();
    return "{\"model\":\"oxr-demo-camera\",\"resolution\":\"" + std::to_string(o.nWidth) + "x" +
           std::to_string(o.nHeight) + "\",\"fps\":" + std::to_string(o.nFps) +
           ",\"tls\":" + (o.bTls ? "true" : "false") +
           ",\"paths\":[\"/snapshot.jpg\",\"/video.mjpg\",\"/events\",\"/cgi-bin/status\","
           "\"/cgi-bin/info.json\"]}\n";
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

// /redirect?code=NNN&hops=N&to=TARGET: a redirect (302 unless code names
// another one) whose Location is TARGET: the rest of the query after "to=",
// so it may carry a query of its own (default /snapshot.jpg). With hops
// above 1 it leads to /redirect again, with one hop less, for chains.
void ServeRedirect(Connection& conn, const Request& request) {
    const std::string& q = request.query;
    const size_t at = q.compare(0, 3, "to=") == 0 ? 0 : q.find("&to=");
    const std::string to =
        at == std::string::npos ? "/snapshot.jpg" : q.substr(at == 0 ? 3 : at + 4);
    Request own = request; // the parameters before "to=", not those of TARGET
    own.query = q.substr(0, at);
    long nCode = own.QueryNumber("code", 302, 0, 999);
    if (nCode != 301 && nCode != 303 && nCode != 307 && nCode != 308) {
        nCode = 302;
    }
    const long nHops = own.QueryNumber("hops", 1, 1, 100);
    const std::string location = nHops > 1 ? "/redirect?code=" + std::to_string(nCode) +
                                                 "&hops=" + std::to_string(nHops - 1) + "&to=" + to
                                           : to;
    SendResponse(conn, request, static_cast<int>(nCode), "text/plain",
                 "redirect to " + location + "\n", {{"Location", location}});
}

} // namespace

bool SendResponse(Connection& conn, const Request& request, int nStatus,
                  const std::string& contentType, const std::string& body, HeaderList extra) {
    // A 204 or 304 never has a body: a client that keeps the connection
    // would take any bytes after its head for the next answer.
    const bool bNoBody = nStatus == 204 || nStatus == 304;
    extra.emplace_back("Content-Type", contentType);
    if (!bNoBody) {
        extra.emplace_back("Content-Length", std::to_string(body.size()));
    }
    if (!SendText(conn, ResponseHead(nStatus, extra, request.bKeepAlive))) {
        return false;
    }
    return bNoBody || request.method == "HEAD" || SendText(conn, body);
}

bool SendChunkedResponse(Connection& conn, const Request& request, const std::string& contentType,
                         const std::string& body, size_t nChunk) {
    if (request.version == "HTTP/1.0") {
        return SendResponse(conn, request, 200, contentType, body);
    }
    const HeaderList headers{{"Content-Type", contentType}, {"Transfer-Encoding", "chunked"}};
    if (!SendText(conn, ResponseHead(200, headers, request.bKeepAlive))) {
        return false;
    }
    if (request.method == "HEAD") {
        return true;
    }
    for (size_t at = 0; at < body.size(); at += nChunk) {
        const size_t n = std::min(nChunk, body.size() - at);
        char szSize[24];
        std::snprintf(szSize, sizeof(szSize), "%zx\r\n", n);
        if (!SendText(conn, szSize + body.substr(at, n) + "\r\n")) {
            return false;
        }
    }
    return SendText(conn, "0\r\n\r\n");
}

bool ServeRequest(Connection& conn, const Request& request, CameraContext& ctx) {
    ctx.nRequests++;
    const std::string& path = request.path;
    if (path == "/snapshot.jpg") {
        ServeSnapshot(conn, request, ctx);
    } else if (path == "/video.mjpg") {
        if (!Admit(conn, request, ctx)) {
            return true; // the 401 has a length
        }
        ServeVideo(conn, request, ctx);
        return false;
    } else if (path == "/events") {
        ServeEvents(conn, request, ctx);
        return false;
    } else if (path == "/cgi-bin/status") {
        SendResponse(conn, request, 200, "text/plain", StatusText(ctx));
    } else if (path == "/cgi-bin/info.json") {
        SendChunkedResponse(conn, request, "application/json", InfoJson(ctx), 40);
    } else if (path == "/cgi-bin/echo") {
        SendResponse(conn, request, 200, "text/plain", EchoText(request));
    } else if (path.compare(0, 15, "/cgi-bin/admin/") == 0) {
        ServeAdmin(conn, request, ctx);
    } else if (path == "/status") {
        const int nStatus = static_cast<int>(request.QueryNumber("code", 200, 200, 599));
        SendResponse(conn, request, nStatus, "text/plain",
                     "status " + std::to_string(nStatus) + "\n");
    } else if (path == "/redirect") {
        ServeRedirect(conn, request);
    } else if (path == "/cut") {
        // Half a head, then the connection ends: a device rebooting mid-answer.
        conn.Write("HTTP/1.1 200 OK\r\nContent-", 25);
        return false;
    } else if (path == "/slow") {
        // A late answer is still a whole one: the connection may stay.
        if (!ctx.SleepMs(request.QueryNumber("ms", 1000, 0, 30000))) {
            return false;
        }
        SendResponse(conn, request, 200, "text/plain", "slow answer\n");
    } else {
        SendResponse(conn, request, 404, "text/plain", "not found\n");
    }
    return true;
}
