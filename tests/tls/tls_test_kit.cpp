// Helpers of test_tls (see tls_test_kit.h).
#include "tls_test_kit.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "oxr.h"
#include "test_net.h"

namespace {

TlsPeers LoadPeers() {
    TlsPeers p;
    const char* pszFile = std::getenv("OXR_TLS_PEERS");
    if (pszFile == nullptr || pszFile[0] == '\0') {
        p.error = "OXR_TLS_PEERS is not set (the tls_peers fixture provides it)";
        return p;
    }
    std::string path = pszFile;
#if defined(_WIN32)
    if (path[0] == '/') {
        path = "Z:" + path;
    }
#endif
    std::ifstream in(path);
    if (!in) {
        p.error = "cannot read " + path;
        return p;
    }
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, value;
        if (words >> key >> value) {
            p.values[key] = value;
        }
    }
    p.ok = p.values.count("trusted") != 0 && p.values.count("sink") != 0;
    if (!p.ok) {
        p.error = path + " lacks ports";
    }
    return p;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

} // namespace

const TlsPeers& Peers() {
    static const TlsPeers s_peers = LoadPeers();
    return s_peers;
}

int TlsPeers::Port(const std::string& name) const {
    return std::atoi(Get(name).c_str());
}

std::string TlsPeers::Get(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? std::string() : it->second;
}

bool TlsPeers::Fingerprint(const std::string& name, unsigned char (&out)[32]) const {
    std::string hex = Get("fp_" + name);
    if (hex.size() != 64) {
        return false;
    }
    for (size_t i = 0; i < 32; ++i) {
        int hi = HexDigit(hex[2 * i]);
        int lo = HexDigit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    return true;
}

std::string TlsPeers::File(const std::string& name) const {
    std::string path = Get("dir") + "/" + name;
#if defined(_WIN32)
    if (path[0] == '/') {
        path = "Z:" + path;
    }
#endif
    return path;
}

TcpLink::TcpLink(int nPort, const char* pszAddr) {
    if (nPort > 0) {
        m_nSocket = TestConnect(pszAddr, static_cast<uint16_t>(nPort), 3000);
    }
}

TcpLink::~TcpLink() {
    OXR_CloseSocket(m_nSocket, 0);
}

unsigned char PatternByte(size_t i) {
    size_t x = i % 65521;
    return static_cast<unsigned char>(((x * 131) + (x >> 9)) & 0xFF);
}

size_t PatternMismatch(const std::string& body, size_t nSize) {
    size_t n = body.size() < nSize ? body.size() : nSize;
    for (size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(body[i]) != PatternByte(i)) {
            return i;
        }
    }
    return body.size() == nSize ? std::string::npos : n;
}

int RecvAll(OXR_TLS* pTls, int nSocket, std::string* pOut, int nTimeOutMs, int nChunk,
            RecvStats* pStats) {
    RecvStats unused;
    RecvStats& st = pStats != nullptr ? *pStats : unused;
    std::vector<char> buf(static_cast<size_t>(nChunk));
    int64_t tEnd = OXR_TickMs() + nTimeOutMs;
    while (OXR_TickMs() < tEnd) {
        int nPendingBefore = OXR_TlsPending(pTls);
        int r = OXR_TlsRecv(pTls, buf.data(), nChunk);
        if (r > 0) {
            pOut->append(buf.data(), static_cast<size_t>(r));
            int nPending = OXR_TlsPending(pTls);
            st.nMaxPending = nPending > st.nMaxPending ? nPending : st.nMaxPending;
            continue;
        }
        if (r != OXR_TLS_WOULD_BLOCK) {
            return r;
        }
        if (nPendingBefore > 0) {
            st.bBlockedPending = true;
        }
        if (OXR_TlsPending(pTls) == 0) {
            ++st.nWaits;
            OXR_WaitReadable(nSocket, 100);
        }
    }
    return TLS_TEST_TIMEOUT;
}

int HttpGet(OXR_TLS* pTls, int nSocket, const char* pszPath, std::string* pHead, std::string* pBody,
            int nChunk, RecvStats* pStats) {
    std::string req =
        std::string("GET ") + pszPath + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    int r = OXR_TlsSend(pTls, req.data(), static_cast<int>(req.size()), 3000, nullptr);
    if (r != static_cast<int>(req.size())) {
        return r < 0 ? r : OXR_TLS_E_PROTOCOL;
    }
    std::string all;
    r = RecvAll(pTls, nSocket, &all, 60000, nChunk, pStats);
    size_t nHead = all.find("\r\n\r\n");
    if (nHead == std::string::npos) {
        *pHead = all;
        pBody->clear();
    } else {
        *pHead = all.substr(0, nHead + 4);
        *pBody = all.substr(nHead + 4);
    }
    return r;
}

std::string Hex(const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
