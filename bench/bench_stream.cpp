// Throughput of multipart delivery through the public interface: a loopback
// server streams N parts of S bytes as fast as the socket takes them, and a
// session receives them whole in its data callback.
//
//   bench_stream [parts] [part-bytes] [lengthless]
//
// Prints parts/s, MB/s and whether every part arrived with its exact size.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "oxr_http.h"

namespace {

struct Counts {
    std::atomic<long> nParts{0};
    std::atomic<long long> nBytes{0};
    std::atomic<long> nWrongSize{0};
    long nExpectedSize = 0;
};

int OXR_HTTP_CALLBACK OnPart(int, void* pUser, OXR_HTTP_DATA* pData) {
    Counts* c = static_cast<Counts*>(pUser);
    if (pData->nDataLen != c->nExpectedSize) {
        ++c->nWrongSize;
    }
    c->nBytes += pData->nDataLen;
    ++c->nParts;
    return 0;
}

bool SendAll(int s, const char* p, size_t n) {
    while (n > 0) {
        ssize_t r = send(s, p, n, MSG_NOSIGNAL);
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Serves one connection: reads the request head, then streams the parts.
void Serve(int nListen, long nParts, long nSize, bool bLengthless) {
    int s = accept(nListen, nullptr, nullptr);
    if (s < 0) {
        return;
    }
    char req[4096];
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t r = recv(s, req, sizeof(req), 0);
        if (r <= 0) {
            close(s);
            return;
        }
        head.append(req, static_cast<size_t>(r));
    }
    std::string body(static_cast<size_t>(nSize), '\0');
    for (long i = 0; i < nSize; ++i) {
        body[static_cast<size_t>(i)] = static_cast<char>((i * 31) & 0xff);
    }
    std::string partHead = "--frame\r\nContent-Type: image/jpeg\r\n";
    if (!bLengthless) {
        partHead += "Content-Length: " + std::to_string(nSize) + "\r\n";
    }
    partHead += "\r\n";
    std::string response = "HTTP/1.1 200 OK\r\n"
                           "Content-Type: multipart/x-mixed-replace; boundary=frame\r\n\r\n";
    bool bOk = SendAll(s, response.data(), response.size());
    for (long i = 0; bOk && i < nParts; ++i) {
        bOk = SendAll(s, partHead.data(), partHead.size()) &&
              SendAll(s, body.data(), body.size()) && SendAll(s, "\r\n", 2);
    }
    // The delimiter after the last part tells a lengthless receiver where it ends.
    SendAll(s, "--frame--\r\n", 11);
    // Hold the connection until the client closes it (bounded by the client).
    while (recv(s, req, sizeof(req), 0) > 0) {
    }
    close(s);
}

} // namespace

int main(int argc, char** argv) {
    long nParts = argc > 1 ? std::atol(argv[1]) : 2000;
    long nSize = argc > 2 ? std::atol(argv[2]) : 100000;
    bool bLengthless = argc > 3 && std::strcmp(argv[3], "lengthless") == 0;
    if (nParts <= 0 || nSize <= 0) {
        std::fprintf(stderr, "usage: bench_stream [parts] [part-bytes] [lengthless]\n");
        return 2;
    }
    OXR_HTTP_ClientInit();

    int nListen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof(addr);
    if (bind(nListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(nListen, 4) != 0 ||
        getsockname(nListen, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
        std::perror("listen");
        return 1;
    }
    std::thread server(Serve, nListen, nParts, nSize, bLengthless);

    Counts counts;
    counts.nExpectedSize = nSize;
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/video.mjpg";
    auto t0 = std::chrono::steady_clock::now();
    int h = OXR_HTTP_OpenEx(url.c_str(), HTTP_METHOD_GET, nullptr, 0, 2000, OnPart, &counts);
    if (h < 0 || OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000) != 0) {
        std::fprintf(stderr, "request failed: %d\n", OXR_HTTP_GetErrNo(-1));
        return 1;
    }
    // Bounded wait: at most 120 s for the whole stream.
    for (int i = 0; i < 120000 && counts.nParts < nParts; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    auto t1 = std::chrono::steady_clock::now();
    OXR_HTTP_Close(h);
    server.join();
    close(nListen);
    OXR_HTTP_ClientFini();

    double secs = std::chrono::duration<double>(t1 - t0).count();
    std::printf("%s parts of %ld bytes: %ld received in %.3f s, %.0f parts/s, %.1f MB/s, "
                "wrong sizes %ld\n",
                bLengthless ? "lengthless" : "sized", nSize, counts.nParts.load(), secs,
                counts.nParts / secs, counts.nBytes / secs / 1e6, counts.nWrongSize.load());
    return counts.nParts == nParts && counts.nWrongSize == 0 ? 0 : 1;
}
