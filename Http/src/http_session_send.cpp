// CHttpSession's requests: the connection each one goes over (kept alive,
// or new), the exchange, and the further exchanges a Digest challenge or a
// connection the device dropped call for, all within the request's one
// time-out.
#include <cstring>
#include <new>

#include "http_errno.h"
#include "http_log.h"
#include "http_session.h"
#include "http_text.h"

int CHttpSession::SendRequest(const char* pszContentLength, const char* pBody, int nBodyLen,
                              int nTimeOutMs) {
    // The time-out bounds the whole call: connects, handshakes, sends, heads.
    const int64_t tDeadline = OXR_DeadlineOf(nTimeOutMs);
    // Nothing is sent, and nothing connected, beside a running receiver.
    int nResult = m_cRequest.CheckNoReceiver();
    if (nResult != 0) {
        return RecordResult(nResult);
    }
    // The caller's text is sent unchanged; a null one is refused by AddHeader
    // and the request goes on without (or with an earlier) Content-Length.
    RecordResult(m_cParser.AddHeader("Content-Length", pszContentLength));
    m_cRequest.BeginExchange();
    KeepBody(pBody, nBodyLen);
    // Each request starts from the session's own URL, whatever redirects
    // the last one followed.
    AimAtOwnUrl();
    // https: the handshake comes with the first request (or the first after
    // a new connection), so the application can set the options before.
    // After a refused handshake (its connection is gone) a new one first.
    bool bFresh = false;
    nResult = Ready(nTimeOutMs, tDeadline,
                    (IsHttps() && !m_cRequest.IsConnected()) || !ConnectedToTarget(), &bFresh);
    if (nResult == 0) {
        nResult = Request(pBody, nBodyLen, nTimeOutMs, tDeadline, bFresh);
    }
    return nResult == 0 ? m_cRequest.StartRecvThread() : RecordResult(nResult);
}

int CHttpSession::Restart(int nTimeOutMs) {
    // A request whose body was not kept (the option came after it) cannot
    // be sent again as it was.
    if (m_bBodyLost) {
        return kRestartImpossible;
    }
    // The application's calls on the session wait meanwhile: the request
    // codec and the response head are rewritten.
    LockCalls();
    const int64_t tDeadline = OXR_DeadlineOf(nTimeOutMs);
    AimAtOwnUrl();
    int nResult = Connect(nTimeOutMs, tDeadline, true);
    if (nResult == 0) {
        nResult = Request(m_pKeptBody, m_nKeptBodyLen, nTimeOutMs, tDeadline, true);
    }
    UnlockCalls();
    return nResult == 0 ? 0 : -1;
}

int CHttpSession::RestartThunk(void* pCtx, int nTimeOutMs) {
    return static_cast<CHttpSession*>(pCtx)->Restart(nTimeOutMs);
}

void CHttpSession::KeepBody(const char* pBody, int nBodyLen) {
    if (m_pKeptBody != nullptr) {
        HttpWipe(m_pKeptBody, static_cast<size_t>(m_nKeptBodyLen));
    }
    delete[] m_pKeptBody;
    m_pKeptBody = nullptr;
    m_nKeptBodyLen = 0;
    // A stream that reconnects sends its request again, body and all; the
    // caller's buffer is only lent for the call.
    if (GetOption(HTTP_OPT_RECONNECT) > 0 && pBody != nullptr && nBodyLen > 0) {
        m_pKeptBody = new (std::nothrow) char[static_cast<size_t>(nBodyLen)];
        if (m_pKeptBody != nullptr) {
            std::memcpy(m_pKeptBody, pBody, static_cast<size_t>(nBodyLen));
            m_nKeptBodyLen = nBodyLen;
        }
    }
    m_bBodyLost = pBody != nullptr && nBodyLen > 0 && m_pKeptBody == nullptr;
}

int CHttpSession::Request(const char* pBody, int nBodyLen, int nTimeOutMs, int64_t tDeadline,
                          bool bFresh) {
    // Redirects that are followed: each hop a request of its own, over the
    // kept connection when it goes to the same origin.
    for (int nHop = 0;; ++nHop) {
        int nResult = RequestOnce(pBody, nBodyLen, nTimeOutMs, tDeadline, bFresh);
        if (nResult != 0 || !NextHop(nHop, &pBody, &nBodyLen)) {
            return nResult;
        }
        nResult = Ready(nTimeOutMs, tDeadline, true, &bFresh);
        if (nResult != 0) {
            return nResult;
        }
    }
}

int CHttpSession::RequestOnce(const char* pBody, int nBodyLen, int nTimeOutMs, int64_t tDeadline,
                              bool bFresh) {
    // A Digest challenge accepted before is answered at once, with the next
    // nonce count, so the request needs no extra round trip.
    bool bAnswered = m_bDigest && m_bCredentials;
    if (bAnswered && PutDigestAnswer(pBody, nBodyLen) != 0) {
        return -1;
    }
    // A 401 with a Digest challenge is answered (on the same connection when
    // it is kept alive, else on a new one); a second 401 is final unless its
    // nonce only went stale. A 403 to an answer with a remembered nonce
    // (keep-alive) costs one more exchange, without an answer, for a fresh
    // challenge. A bounded number of exchanges, whatever the device sends.
    int nMaxExchanges = 3;
    for (int nExchange = 1;; ++nExchange) {
        int nResult = Exchange(pBody, nBodyLen, OXR_MsLeft(tDeadline));
        if (nResult != 0 && !bFresh && m_cRequest.GetKeepAlive() && m_cRequest.LostConnection()) {
            // The device dropped the kept connection unannounced: once more
            // on a new one.
            bFresh = true;
            nResult = Ready(nTimeOutMs, tDeadline, true, &bFresh);
            if (nResult == 0) {
                nResult = Exchange(pBody, nBodyLen, OXR_MsLeft(tDeadline));
            }
        }
        if (nResult == 0 || nExchange >= nMaxExchanges) {
            return nResult;
        }
        if (bAnswered && nExchange == 1 && m_cRequest.GetKeepAlive() &&
            m_cRequest.GetStatus() == 403) {
            // Some recorders refuse an expired nonce with 403, not with a
            // stale 401: forget it and ask for a fresh challenge.
            ForgetDigest();
            bAnswered = false;
            ++nMaxExchanges;
        } else if (!m_bCredentials ||
                   AnswerChallenge(bAnswered && nExchange > 1, pBody, nBodyLen) != 0) {
            return nResult;
        } else {
            bAnswered = true;
        }
        nResult = Ready(nTimeOutMs, tDeadline, true, &bFresh);
        if (nResult != 0) {
            return nResult;
        }
    }
}

int CHttpSession::Ready(int nTimeOutMs, int64_t tDeadline, bool bNew, bool* pbFresh) {
    if (m_cRequest.GetKeepAlive()) {
        // A kept connection carries the request when the device left it so.
        const int nRefused = m_cRequest.CheckNoReceiver();
        if (nRefused != 0) {
            return nRefused;
        }
        bNew = !ConnectedToTarget() || !m_cRequest.CanCarry(tDeadline);
    }
    *pbFresh = bNew;
    if (!bNew && (!m_cTarget.bHttps || m_cRequest.HasTls())) {
        return 0;
    }
    return Connect(nTimeOutMs, tDeadline, bNew);
}

int CHttpSession::Connect(int nTimeOutMs, int64_t tDeadline, bool bNewConnection) {
    int nResult = 0;
    if (bNewConnection) {
        char szConnectHost[sizeof(m_szHost) + sizeof(m_szZone) + 2];
        ConnectHost(m_cTarget, szConnectHost, sizeof(szConnectHost));
        nResult = m_cRequest.ConnectToServer(szConnectHost, m_cTarget.wPort, OXR_MsLeft(tDeadline));
        if (nResult == 0) {
            m_cConnected = m_cTarget;
        }
    }
    if (nResult == 0 && m_cTarget.bHttps) {
        // 0 would leave the handshake no round trip at all: it gets 1 ms
        // (kept on purpose, see docs/internals.md).
        nResult =
            m_cRequest.StartTls(m_cTarget.szHost, m_bTlsVerify, m_bTlsPin ? m_aTlsPin : nullptr,
                                nTimeOutMs == 0 ? 1 : OXR_MsLeft(tDeadline));
    }
    return nResult;
}

int CHttpSession::Exchange(const char* pBody, int nBodyLen, int nTimeOutMs) {
    int nMsgLen = 0;
    char* pMsg = m_cParser.FormatMsg(&nMsgLen, pBody, nBodyLen);
    if (pMsg == nullptr || nMsgLen <= 0) {
        HTTP_LOG(kLogFailure, "CHttpSession SendRequest Return -1, m_cParser.FormatMsg Error\n");
        // Headers that fit one by one but not together: the caller's to fix.
        return m_cParser.HeadFits() ? -1 : HTTP_ERR_BAD_PARAM;
    }
    // A device that stops reading would otherwise hold the caller in the
    // send for ever.
    m_cRequest.SetSendTimeOut(nTimeOutMs);
    int nResult = m_cRequest.SendMsg(pMsg, nMsgLen);
    if (nResult != 0) {
        return nResult;
    }
    return m_cRequest.RecvHead(nTimeOutMs, m_cParser.GetMethod() == HTTP_METHOD_HEAD);
}
