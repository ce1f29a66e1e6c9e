// The library sessions of one run of oxr-http, with keep-alive on. The
// library binds a session to the URL it was opened with, so there is one
// session per distinct URL: opened at its first request, kept for the
// URL's later requests (which then reuse its connection while the device
// keeps it open), closed at the end of the run or when a stream was
// stopped before its end.
#ifndef OXR_CLI_SESSION_POOL_H
#define OXR_CLI_SESSION_POOL_H

#include <string>
#include <vector>

#include "cli_options.h"
#include "oxr_http.h"

class SessionPool {
public:
    // Sessions deliver to pfnCallback with pUser.
    SessionPool(const ClientOptions& options, OXR_HTTP_DataCallback pfnCallback, void* pUser);
    ~SessionPool();
    SessionPool(const SessionPool&) = delete;
    SessionPool& operator=(const SessionPool&) = delete;

    // The handle of url's session, opened (and set up) when it has none;
    // *pbOpened says it was opened now. -1 when opening failed: the reason
    // has been said and *pnExit holds the exit code.
    int Get(const std::string& url, bool* pbOpened, int* pnExit);
    // Closes url's session: its receiver is stopped and joined, so nothing
    // more is delivered. Its next request opens a new one.
    void Drop(const std::string& url);
    // Connections made so far by every session of the run, closed ones included.
    int Connections() const;
    // Closes every session.
    void CloseAll();

private:
    struct Entry {
        std::string url;
        int h;
    };
    Entry* Find(const std::string& url);
    int Open(const std::string& url, int* pnExit);

    const ClientOptions& m_options;
    OXR_HTTP_DataCallback m_pfnCallback;
    void* m_pUser;
    std::vector<Entry> m_sessions;
    int m_nClosedConnections = 0; // made by the sessions already closed
};

// Says "oxr-http: TEXT" on standard error.
void Say(const std::string& text);

#endif
