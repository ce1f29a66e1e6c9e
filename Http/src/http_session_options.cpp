// CHttpSession: what the application may ask besides the response headers
// (status, stream state, options) and the options it may set.
#include <cstring>

#include "http_text.h"

#include "http_session.h"

namespace {

// 64 hex digits, colons between pairs allowed (as openssl prints them).
bool ReadFingerprint(const char* psz, unsigned char* pOut) {
    int n = 0;
    for (const char* p = psz; *p != '\0'; ++p) {
        if (*p == ':') {
            continue;
        }
        const int d = HttpHexDigit(*p);
        if (d < 0 || n >= 64) {
            return false;
        }
        pOut[n / 2] = static_cast<unsigned char>(n % 2 == 0 ? d << 4 : pOut[n / 2] | d);
        ++n;
    }
    return n == 64;
}

} // namespace

int CHttpSession::GetStatus(char* pszReason, int nReasonSize) const {
    const int nStatus = m_cRequest.GetStatus();
    if (pszReason != nullptr && nReasonSize > 0) {
        const char* pszFrom = nStatus != 0 ? m_cRequest.GetHead().GetReason() : "";
        size_t n = std::strlen(pszFrom);
        if (n > static_cast<size_t>(nReasonSize) - 1) {
            n = static_cast<size_t>(nReasonSize) - 1;
        }
        std::memcpy(pszReason, pszFrom, n);
        pszReason[n] = '\0';
    }
    return nStatus;
}

int CHttpSession::GetStreamState(int* pnReason, int* pnDeliveries) const {
    const CHttpReceiver& cReceiver = m_cRequest.GetReceiver();
    int nReason = HTTP_END_NONE;
    const int nState = cReceiver.GetStreamState(&nReason);
    if (pnReason != nullptr) {
        *pnReason = nReason;
    }
    if (pnDeliveries != nullptr) {
        *pnDeliveries = cReceiver.GetDeliveries();
    }
    return nState;
}

int CHttpSession::SetOption(int nOption, int nValue, const char* pszValue) {
    switch (nOption) {
    case HTTP_OPT_END_RECORD:
        if (nValue != 0 && nValue != 1) {
            return HTTP_ERR_BAD_PARAM;
        }
        m_cRequest.GetReceiver().SetEndRecord(nValue != 0);
        return 0;
    case HTTP_OPT_TLS_VERIFY:
        if (nValue != 0 && nValue != 1) {
            return HTTP_ERR_BAD_PARAM;
        }
        m_bTlsVerify = nValue;
        return 0;
    case HTTP_OPT_STREAM_TIMEOUT:
        if (nValue <= 0) {
            return HTTP_ERR_BAD_PARAM;
        }
        m_cRequest.GetReceiver().SetStreamTimeOut(nValue);
        return 0;
    case HTTP_OPT_KEEP_ALIVE:
        if (nValue != 0 && nValue != 1) {
            return HTTP_ERR_BAD_PARAM;
        }
        m_cRequest.SetKeepAlive(nValue != 0);
        m_cRequest.GetConnection().SetResume(nValue != 0 ||
                                             m_cRequest.GetReceiver().GetReconnect() > 0);
        return 0;
    case HTTP_OPT_RECONNECT:
        if (nValue < 0) {
            return HTTP_ERR_BAD_PARAM;
        }
        m_cRequest.GetReceiver().SetReconnect(nValue);
        m_cRequest.GetConnection().SetResume(nValue > 0 || m_cRequest.GetKeepAlive());
        return 0;
    case HTTP_OPT_FOLLOW_REDIRECTS:
        if (nValue < 0) {
            return HTTP_ERR_BAD_PARAM;
        }
        m_nFollow = nValue;
        return 0;
    case HTTP_OPT_TLS_LEGACY:
        if (nValue != 0 && nValue != 1) {
            return HTTP_ERR_BAD_PARAM;
        }
        m_cRequest.GetConnection().SetTlsLegacy(nValue != 0);
        return 0;
    case HTTP_OPT_TLS_PIN:
        if (pszValue == nullptr) {
            m_bTlsPin = false;
            return 0;
        }
        unsigned char aPin[sizeof(m_aTlsPin)];
        if (!ReadFingerprint(pszValue, aPin)) {
            return HTTP_ERR_BAD_PARAM; // a pin set before stays as it was
        }
        std::memcpy(m_aTlsPin, aPin, sizeof(m_aTlsPin));
        m_bTlsPin = true;
        return 0;
    default:
        return HTTP_ERR_BAD_PARAM;
    }
}

int CHttpSession::GetOption(int nOption) const {
    switch (nOption) {
    case HTTP_OPT_END_RECORD:
        return m_cRequest.GetReceiver().GetEndRecord() ? 1 : 0;
    case HTTP_OPT_TLS_VERIFY:
        return m_bTlsVerify;
    case HTTP_OPT_TLS_PIN:
        return m_bTlsPin ? 1 : 0;
    case HTTP_OPT_AUTH_SCHEME:
        return m_nAuthScheme.load();
    case HTTP_OPT_STREAM_TIMEOUT:
        return m_cRequest.GetReceiver().GetStreamTimeOut();
    case HTTP_OPT_KEEP_ALIVE:
        return m_cRequest.GetKeepAlive() ? 1 : 0;
    case HTTP_OPT_CONNECTIONS:
        return m_cRequest.GetConnection().GetConnections();
    case HTTP_OPT_RECONNECT:
        return m_cRequest.GetReceiver().GetReconnect();
    case HTTP_OPT_RECONNECT_COUNT:
        return m_cRequest.GetReceiver().GetReconnects();
    case HTTP_OPT_FOLLOW_REDIRECTS:
        return m_nFollow;
    case HTTP_OPT_TLS_LEGACY:
        return m_cRequest.GetConnection().GetTlsLegacy() ? 1 : 0;
    default:
        return -1;
    }
}
