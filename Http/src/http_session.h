// The object behind one handle (http_session.cpp, its URL parser in
// http_url.cpp), and the registry that maps handles to it
// (http_session_mgr.cpp). These and the exports are the only units that
// record the process-wide error number.
#ifndef HTTP_SESSION_H
#define HTTP_SESSION_H

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>

#include "http_digest.h"
#include "http_parse.h"
#include "http_request.h"
#include "oxr.h"
#include "oxr_http.h"

// Where a request goes: the session's own URL, or a redirect's Location.
struct HttpTarget {
    bool bHttps;
    char szHost[128]; // as written (an IPv6 literal with its brackets), no zone
    char szZone[32];  // a link-local IPv6 address's zone ("eth0", "3"), or empty
    uint16_t wPort;
    char szUri[512];
};

// Splits the zone off a bracketed IPv6 literal ("[fe80::1%25eth0]" or
// "[fe80::1%eth0]"): the host keeps "[fe80::1]", the zone gets "eth0".
void HttpSplitZone(char* pszHost, char* pszZone, size_t nZoneSize);

class CHttpSession {
public:
    explicit CHttpSession(int nIndex);
    ~CHttpSession();
    CHttpSession(const CHttpSession&) = delete;
    CHttpSession& operator=(const CHttpSession&) = delete;

    int Open(const char* pszUrl, int nMethod, const char* pszCredentials, int nUnused,
             int nTimeOutMs);
    void SetDataCallback(OXR_HTTP_DataCallback pfnCallback, void* pUserData);
    int SendRequest(const char* pszContentLength, const char* pBody, int nBodyLen, int nTimeOutMs);
    int AddHeader(const char* pszName, const char* pszValue);
    int RemoveHeader(const char* pszName);
    // A response header's value; or, for the pseudo names ":redirects" and
    // ":redirect-N", what the last request's redirects were.
    const char* GetInfoByName(const char* pszName);
    // 1 when the type is answered, 0 when not (no type is, yet); the export
    // turns 0 into its -1.
    int GetInfoByType(int nType, int nArg1, int nArg2);
    int GetContent(int nUnused);
    int GetErrNo() const { return m_nErrNo; }
    // Wakes a call in progress on another thread and makes it fail, so a
    // Close need not wait for its time-out.
    void Abort() { m_cRequest.Abort(); }
    int Close();
    int GetIndex() const { return m_nIndex; }
    // Everything the constructor allocates is there.
    bool Constructed() { return m_cRequest.GetConnection().Usable(); }
    // Called on this session's receiver thread (inside its data callback).
    bool OnOwnReceiver() const;
    const CHttpReceiver* GetReceiver() const { return &m_cRequest.GetReceiver(); }
    // One call at a time works on the session (the exports hold this while
    // they do; GetStreamState and GetErrNo read atomics and need not).
    void LockCalls() { OXR_MutexLock(&m_hCallMutex); }
    void UnlockCalls() { OXR_MutexUnlock(&m_hCallMutex); }

    // ---- URL parser (http_url.cpp)
    // Splits the URL into the URL fields; 0, or -1 when it cannot be split.
    int ParseUrl(const char* pszUrl);
    // Copies src (nLen characters looked at) into dst (nDstSize bytes) up to
    // a stop mark; for the host piece, the text after a colon goes to
    // pszPortDst (nPortSize bytes). 0, or -1 on bad arguments or a piece that
    // does not fit its field.
    int ParseByMark(const char* pszSrc, int nLen, const char* pszMarks, char* pszDst, int nDstSize,
                    char* pszPortDst, int nPortSize);

    const char* GetScheme() const { return m_szScheme; }
    // The URL asked for https://: the connection is spoken to over TLS.
    bool IsHttps() const { return std::strcmp(m_szScheme, "https://") == 0; }
    const char* GetHost() const { return m_szHost; }
    uint16_t GetPort() const { return m_wPort; }
    const char* GetPath() const { return m_szPath; }
    const char* GetQuery() const { return m_szQuery; }
    const char* GetParams() const { return m_szParams; }
    const char* GetFragment() const { return m_szFragment; }
    const char* GetRequestUri() const { return m_szRequestUri; }
    CHttpParser& GetParser() { return m_cParser; }
    CHttpRequest& GetRequest() { return m_cRequest; }

    // ---- what the application may ask and set besides (http_session_options.cpp)
    int GetStatus(char* pszReason, int nReasonSize) const;
    int GetStreamState(int* pnReason, int* pnDeliveries) const;
    // 0, or HTTP_ERR_BAD_PARAM.
    int SetOption(int nOption, int nValue, const char* pszValue);
    int GetOption(int nOption) const;

    // ---- authorization (http_session_auth.cpp)
    // Scheme of the Authorization the last request carried (HTTP_AUTH_*).
    int GetAuthScheme() const { return m_nAuthScheme.load(); }

private:
    // Makes the connection ready for a request by tDeadline: keep-alive
    // reuses the one there is when it can carry the request; otherwise (or
    // without keep-alive, when bNew) a new one; https adds the handshake
    // when the connection has none. *pbFresh: the connection is new. 0 or an
    // error number.
    int Ready(int nTimeOutMs, int64_t tDeadline, bool bNew, bool* pbFresh);
    // Connects anew (bNewConnection) and, for https, makes the handshake on
    // the connection. 0 or an error number.
    int Connect(int nTimeOutMs, int64_t tDeadline, bool bNewConnection);
    // The request by tDeadline over the connection made ready for it, with
    // the exchanges a Digest challenge or a dropped kept connection call for;
    // 0 when a head was accepted, else -1 or an error number (not recorded).
    int Request(const char* pBody, int nBodyLen, int nTimeOutMs, int64_t tDeadline, bool bFresh);
    // The same for one target, without following a redirect.
    int RequestOnce(const char* pBody, int nBodyLen, int nTimeOutMs, int64_t tDeadline,
                    bool bFresh);
    // On the receiver's thread: the stream's request made again over a new
    // connection (see CHttpReceiver::RestartFn).
    int Restart(int nTimeOutMs);
    static int RestartThunk(void* pCtx, int nTimeOutMs);
    // A copy of the request's body, for a stream that may have to make it
    // again (with HTTP_OPT_RECONNECT).
    void KeepBody(const char* pBody, int nBodyLen);
    // The request goes to the session's own URL, with its credentials.
    void AimAtOwnUrl();
    // After an accepted head: when it is a redirect to follow (the hop count
    // below the limit, a Location the library takes), aims the next request
    // at it, with what goes along (method, body, credentials); else false.
    bool NextHop(int nHop, const char** ppBody, int* pnBodyLen);
    // The connection is to the target's scheme, host and port.
    bool ConnectedToTarget() const;
    // The host text to connect to: with a zone, "[addr%zone]".
    static void ConnectHost(const HttpTarget& t, char* pszOut, size_t nOutSize);
    // One attempt: builds, sends, receives the head. 0, -1 or an error number.
    int Exchange(const char* pBody, int nBodyLen, int nTimeOutMs);
    // Keeps the credentials and puts the Basic authorization in place.
    void SetCredentials(const char* pszCredentials);
    // After a refused head: when it is a 401 with a Digest challenge this
    // session can answer, puts the answer in place (0); else -1 and the
    // refusal stands. bRetried: the refusal answered an answer already.
    int AnswerChallenge(bool bRetried, const char* pBody, int nBodyLen);
    // Puts a Digest answer to the accepted challenge in place (nc + 1).
    int PutDigestAnswer(const char* pBody, int nBodyLen);
    // Drops the accepted challenge and the answer to it: the next request
    // goes without, for a fresh challenge.
    void ForgetDigest();
    // Puts the answer to c with nonce count nCount in place; 0, or -1 with
    // the request's headers as they were.
    int PutAnswerTo(const HttpDigestChallenge& c, unsigned nCount, const char* pBody, int nBodyLen);

    friend class CHttpSessionMgr;

    int m_nIndex;
    // What OpenEx was given; the transport holds the copies the receiver uses.
    OXR_HTTP_DataCallback m_pfnDataCallback;
    void* m_pUserData;
    char m_szScheme[12];
    char m_szHost[128];
    char m_szZone[32]; // a link-local IPv6 host's zone, split off m_szHost
    uint16_t m_wPort;
    char m_szPath[512];
    char m_szQuery[256];
    char m_szParams[256];
    char m_szFragment[256];
    char m_szRequestUri[512];
    std::atomic<int> m_nErrNo; // only GetInfoByType changes it (to -7)
    CHttpParser m_cParser;     // request side
    CHttpRequest m_cRequest;   // transport, with the response side
    // The credentials as the application gave them ("user:password"), in
    // memory wiped before it is freed; null without.
    char* m_pszCredentials;
    int m_nMethod; // the session's own, as Open was given it
    // This request's target, what the connection is to, and whether the
    // credentials go to the target (redirects: HTTP_OPT_FOLLOW_REDIRECTS).
    HttpTarget m_cTarget;
    HttpTarget m_cConnected;
    bool m_bCredentials;
    int m_nFollow;
    // The redirects the last request followed, as "STATUS Location", for
    // the pseudo fields ":redirects" and ":redirect-N" (the first ones kept).
    static const int kHopsKept = 10;
    int m_nHops;
    char m_szHops[12];
    char m_aszHop[kHopsKept][300];
    // The last request's body, kept while its stream may reconnect.
    char* m_pKeptBody;
    int m_nKeptBodyLen;
    bool m_bBodyLost; // the last request had a body that was not kept
    // The Digest challenge last answered, reused with nc counting up.
    HttpDigestChallenge m_cChallenge;
    bool m_bDigest;
    unsigned m_nNonceCount;
    std::atomic<int> m_nAuthScheme;
    // https: verify the certificate (1) or not; a pinned fingerprint.
    int m_bTlsVerify;
    bool m_bTlsPin;
    unsigned char m_aTlsPin[32];
    // Guarded by the registry's mutex: calls in progress that hold this
    // session, whether its opener has handed it out, and whether a Close has
    // taken it out of the registry.
    int m_nRefs;
    bool m_bOpen;
    bool m_bClosing;
    OXR_MUTEX m_hCallMutex;
};

// Handles 0 to 999; taken from the front of the pool, returned to its back.
const int kHttpMaxSessions = 1000;

class CHttpSessionMgr {
public:
    CHttpSessionMgr();
    ~CHttpSessionMgr();
    CHttpSessionMgr(const CHttpSessionMgr&) = delete;
    CHttpSessionMgr& operator=(const CHttpSessionMgr&) = delete;

    // A new session under a free handle, held for its opener and found by no
    // lookup until PublishHttpSession, or NULL.
    CHttpSession* CreateHttpSession();
    // The opener is done: lookups find the session from now on.
    void PublishHttpSession(CHttpSession* pSession);
    // The session under nHandle, held for the caller until it calls
    // ReleaseHttpSession, so a Close on another thread waits for it; NULL
    // when there is none or it is being closed.
    CHttpSession* GetHttpSession(int nHandle);
    void ReleaseHttpSession(CHttpSession* pSession);
    // Takes a held session out of the registry (later lookups find nothing),
    // wakes the other calls holding it and waits until they let it go; then
    // it is the caller's alone. -1 when another Close came first; -2 when
    // pCaller (the receiver whose callback closes, NULL on other threads)
    // would wait for a receiver that waits, in a Close of its own, for
    // pCaller: the session is left as it is. Until EndJoin(pCaller), pCaller
    // counts as waiting for the session's receiver.
    int TakeHttpSession(CHttpSession* pSession, const CHttpReceiver* pCaller);
    void EndJoin(const CHttpReceiver* pCaller);
    int DestroyHttpSession(CHttpSession* pSession);

private:
    OXR_MUTEX m_hMutex; // guards both tables, also while a session is built or freed
    std::map<int, CHttpSession*> m_mapSessions;
    std::deque<int> m_dqFreeHandles;
    // Receivers whose callbacks are closing a session, and that session's
    // receiver they will join; only compared, never followed.
    std::map<const CHttpReceiver*, const CHttpReceiver*> m_mapJoins;
};

#endif // HTTP_SESSION_H
