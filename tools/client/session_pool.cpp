#include "session_pool.h"

#include <cstdio>

#include "error_words.h"
#include "exit_codes.h"

void Say(const std::string& text) {
    std::fprintf(stderr, "oxr-http: %s\n", text.c_str());
}

SessionPool::SessionPool(const ClientOptions& options, OXR_HTTP_DataCallback pfnCallback,
                         void* pUser)
    : m_options(options), m_pfnCallback(pfnCallback), m_pUser(pUser) {}

SessionPool::~SessionPool() {
    CloseAll();
}

SessionPool::Entry* SessionPool::Find(const std::string& url) {
    for (Entry& e : m_sessions) {
        if (e.url == url) {
            return &e;
        }
    }
    return nullptr;
}

int SessionPool::Get(const std::string& url, bool* pbOpened, int* pnExit) {
    *pbOpened = false;
    if (const Entry* pEntry = Find(url)) {
        return pEntry->h;
    }
    const int h = Open(url, pnExit);
    if (h >= 0) {
        m_sessions.push_back(Entry{url, h});
        *pbOpened = true;
    }
    return h;
}

int SessionPool::Open(const std::string& url, int* pnExit) {
    const ClientOptions& o = m_options;
    const int h =
        OXR_HTTP_OpenEx(url.c_str(), o.nMethod, o.bHasCredentials ? o.credentials.c_str() : nullptr,
                        0, o.nConnectTimeoutMs, m_pfnCallback, m_pUser);
    if (h < 0) {
        const int nErr = OXR_HTTP_GetErrNo(-1);
        Say("cannot open " + url + ": " + ErrorInWords(nErr));
        *pnExit = nErr == HTTP_ERR_BAD_URL
                      ? kExitBadUrl
                      : (nErr == HTTP_ERR_CONNECT || nErr == HTTP_ERR_SOCKET ? kExitConnect
                                                                             : kExitFailure);
        return -1;
    }
    // Keep-alive: each body ends where its framing says, and the next
    // request goes over the same connection when the device keeps it. (A
    // library without the option refuses it and reads bodies to the close.)
    OXR_HTTP_SetOption(h, HTTP_OPT_KEEP_ALIVE, 1, nullptr);
    // The end record wakes the main thread as soon as a body is complete,
    // rather than at its next look at the stream state.
    OXR_HTTP_SetOption(h, HTTP_OPT_END_RECORD, 1, nullptr);
    if ((o.bInsecure && OXR_HTTP_SetOption(h, HTTP_OPT_TLS_VERIFY, 0, nullptr) != 0) ||
        (!o.pin.empty() && OXR_HTTP_SetOption(h, HTTP_OPT_TLS_PIN, 0, o.pin.c_str()) != 0)) {
        Say("--pin wants a SHA-256 fingerprint: 64 hex digits, colons allowed");
        OXR_HTTP_Close(h);
        *pnExit = kExitUsage;
        return -1;
    }
    // -L: the library follows redirects within each request. --tls-legacy
    // goes on every session: an http URL may lead to an https one, and an
    // http session accepts the TLS options without using them.
    const char* pszMissing = nullptr;
    if (o.bFollow && OXR_HTTP_SetOption(h, HTTP_OPT_FOLLOW_REDIRECTS, o.nMaxRedirs, nullptr) != 0) {
        pszMissing = "-L: the library refused HTTP_OPT_FOLLOW_REDIRECTS";
    } else if (o.bTlsLegacy && OXR_HTTP_SetOption(h, HTTP_OPT_TLS_LEGACY, 1, nullptr) != 0) {
        pszMissing = "--tls-legacy: the library refused HTTP_OPT_TLS_LEGACY";
    }
    if (pszMissing != nullptr) {
        Say(std::string(pszMissing) + " (" + ErrorInWords(OXR_HTTP_GetErrNo(-1)) + ")");
        OXR_HTTP_Close(h);
        *pnExit = kExitFailure;
        return -1;
    }
    for (const auto& header : o.headers) {
        if (OXR_HTTP_AddHeader(h, header.first.c_str(), header.second.c_str()) != 0) {
            Say("header " + header.first + " refused: " + ErrorInWords(OXR_HTTP_GetErrNo(-1)));
            OXR_HTTP_Close(h);
            *pnExit = kExitFailure;
            return -1;
        }
    }
    return h;
}

void SessionPool::Drop(const std::string& url) {
    for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
        if (it->url == url) {
            m_nClosedConnections += OXR_HTTP_GetOption(it->h, HTTP_OPT_CONNECTIONS);
            OXR_HTTP_Close(it->h); // joins the receiver: no delivery after this
            m_sessions.erase(it);
            return;
        }
    }
}

int SessionPool::Connections() const {
    int n = m_nClosedConnections;
    for (const Entry& e : m_sessions) {
        n += OXR_HTTP_GetOption(e.h, HTTP_OPT_CONNECTIONS);
    }
    return n;
}

void SessionPool::CloseAll() {
    while (!m_sessions.empty()) {
        Drop(m_sessions.front().url);
    }
}
