/*
 * oxrhttp: a compact HTTP/1.1 client for network cameras and similar devices.
 *
 * Open a session on a URL, add request headers, send a request, read the
 * response headers, and receive the rest of the connection through a data
 * callback: raw bytes as they arrive, or one whole part at a time for a
 * multipart body (MJPEG video, event streams).
 *
 * A failure is reported by -1 (or NULL). Many failures also leave a negative
 * error number in the process-wide last error number, which
 * OXR_HTTP_GetErrNo(-1) (any handle with no session) reads; docs/api.md says
 * which, function by function. OXR_HTTP_GetErrNo on a live handle reads the
 * session's own number instead (only OXR_HTTP_GetInfoByType sets it).
 * OXR_HTTP_SetLog returns nothing. Handles are 0 to 999.
 */
#ifndef OXR_HTTP_H
#define OXR_HTTP_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define OXR_HTTP_CALL __stdcall
#define OXR_HTTP_CALLBACK __cdecl
#if defined(OXRHTTP_BUILD) || defined(OXRHTTP_STATIC)
#define OXR_HTTP_API
#else
#define OXR_HTTP_API __declspec(dllimport)
#endif
#else
#define OXR_HTTP_CALL
#define OXR_HTTP_CALLBACK
#define OXR_HTTP_API __attribute__((visibility("default")))
#endif

/* Log levels for OXR_HTTP_SetLog. -1 (the level at load) writes nothing. */
#define HTTP_LOG_NONE (-1) /* logging off */
#define HTTP_LOG_OFF 0     /* only allocation failures, to the standard error stream */
#define HTTP_LOG_CRIT 1    /* same as HTTP_LOG_OFF */
#define HTTP_LOG_DEBUG 2   /* every failure, to the standard error stream */
#define HTTP_LOG_STDOUT 3  /* every failure, to a daily file in the log directory */

/* Request methods for OXR_HTTP_Open and OXR_HTTP_OpenEx. */
#define HTTP_METHOD_INVALID (-1) /* sent as "INVALID" */
#define HTTP_METHOD_UNKNOWN 0    /* sent as "UNKNOWN" */
#define HTTP_METHOD_GET 1
#define HTTP_METHOD_POST 2
#define HTTP_METHOD_HEAD 3
#define HTTP_METHOD_OPTIONS 4
#define HTTP_METHOD_PUT 5
#define HTTP_METHOD_DELETE 6
#define HTTP_METHOD_TRACE 7
#define HTTP_METHOD_CONNECT 8

/* Error numbers reported by OXR_HTTP_GetErrNo; their one line of meaning is
   in OXR_HTTP_ERROR_TABLE below. */
#define HTTP_ERR_NONE 0
#define HTTP_ERR_NO_MEMORY (-2)
#define HTTP_ERR_BAD_PARAM (-5)
#define HTTP_ERR_INFO_TYPE (-7) /* per session */
#define HTTP_ERR_BAD_URL (-8)
#define HTTP_ERR_CONNECT (-9)
#define HTTP_ERR_SOCKET (-10)
#define HTTP_ERR_NO_SESSION (-11)
#define HTTP_ERR_STATUS (-13)

/*
 * The table of error numbers: X(constant, "one line of meaning") for each, in
 * order. A program makes its own list with it, for example
 *   #define ROW(name, text) {name, #name, text},
 *   static const struct { int n; const char* name; const char* text; } rows[] =
 *       {OXR_HTTP_ERROR_TABLE(ROW)};
 */
#define OXR_HTTP_ERROR_TABLE(X)                                                                    \
    X(HTTP_ERR_NONE, "nothing has failed yet")                                                     \
    X(HTTP_ERR_NO_MEMORY, "a header record or text, or a response head's copy, not allocated")     \
    X(HTTP_ERR_BAD_PARAM,                                                                          \
      "a header refused (NULL, not a token, CR or LF, too long); a bad option")                    \
    X(HTTP_ERR_INFO_TYPE, "information by type is not available (per session)")                    \
    X(HTTP_ERR_BAD_URL, "the URL could not be split")                                              \
    X(HTTP_ERR_CONNECT, "host not resolved, no connection in time, or the TLS handshake failed")   \
    X(HTTP_ERR_SOCKET,                                                                             \
      "bad address family, no socket, sending failed, or the receiver still runs")                 \
    X(HTTP_ERR_NO_SESSION, "no session is registered under the handle")                            \
    X(HTTP_ERR_STATUS, "the response's status line is malformed")

/* State of a session's receiver (OXR_HTTP_GetStreamState). */
#define HTTP_STREAM_NONE 0    /* none started: no request yet, refused, or raw without callback */
#define HTTP_STREAM_RUNNING 1 /* delivering */
#define HTTP_STREAM_ENDED 2   /* ended; the reason says why */
#define HTTP_STREAM_RECONNECTING 3 /* dropped, made again (HTTP_OPT_RECONNECT); the reason: why */

/* Why a receiver ended. */
#define HTTP_END_NONE 0        /* it has not ended */
#define HTTP_END_PEER_CLOSED 1 /* the device closed or reset the connection */
#define HTTP_END_CLOSING_DELIMITER                                                                 \
    2                        /* the multipart body's closing delimiter came, and then              \
                                the connection closed or stayed quiet */
#define HTTP_END_TIMEOUT 3   /* multipart: no data for the stream time-out (8 s) */
#define HTTP_END_FRAMING 4   /* broken framing: chunk, part head or part too large */
#define HTTP_END_STOPPED 5   /* stopped by OXR_HTTP_Close */
#define HTTP_END_NO_MEMORY 6 /* no memory for a part */
#define HTTP_END_COMPLETE 7  /* keep-alive: the body is whole, as its framing says */

/* Options of a session (OXR_HTTP_SetOption, OXR_HTTP_GetOption). */
#define HTTP_OPT_END_RECORD 1  /* 1: one last callback, without data, when the receiver ends */
#define HTTP_OPT_TLS_VERIFY 2  /* https: 1 (default) checks certificate and name, 0 does not */
#define HTTP_OPT_TLS_PIN 3     /* https: the SHA-256 fingerprint (hex) the certificate must have */
#define HTTP_OPT_AUTH_SCHEME 4 /* read only: HTTP_AUTH_* of the last request */
#define HTTP_OPT_STREAM_TIMEOUT                                                                    \
    5                         /* ms without data that end a stream (multipart 8000; raw: none) */
#define HTTP_OPT_KEEP_ALIVE 6 /* 1: bodies end by their framing; a kept connection is reused */
#define HTTP_OPT_RECONNECT 7  /* ms: the longest pause before a dropped stream is made again */
#define HTTP_OPT_RECONNECT_COUNT 8  /* read only: reconnects of the session's streams so far */
#define HTTP_OPT_FOLLOW_REDIRECTS 9 /* the most redirects one SendRequest follows (0: none) */
#define HTTP_OPT_TLS_LEGACY 10      /* https: 1 also speaks TLS 1.0 and 1.1 to old devices */
#define HTTP_OPT_CONNECTIONS 11     /* read only: connections the session has made so far */

/* Authorization scheme a session's last request carried (HTTP_OPT_AUTH_SCHEME). */
#define HTTP_AUTH_NONE 0   /* no credentials */
#define HTTP_AUTH_BASIC 1  /* Basic, from the credentials given to Open */
#define HTTP_AUTH_DIGEST 2 /* Digest, answering the device's challenge */

/*
 * One delivery to the data callback; valid only during the call. 76 bytes on
 * 32-bit targets; 88 on 64-bit ones (x86_64 Windows and Linux), where pData
 * is 8 bytes and aligned to 8, after 4 bytes of padding behind nDataLen.
 */
typedef struct OXR_HTTP_DATA {
    int nDataLen;           /* number of bytes at pData */
    char* pData;            /* the bytes; copy them to keep them */
    char szContentType[68]; /* response (raw) or part (multipart) content type */
} OXR_HTTP_DATA;

/*
 * Data callback. nHandle is the session handle for a raw stream and 0 for
 * multipart parts; pUserData is the value given to OXR_HTTP_OpenEx. Runs on
 * the session's receiver thread; must not close its own session. The result
 * is ignored.
 */
typedef int(OXR_HTTP_CALLBACK* OXR_HTTP_DataCallback)(int nHandle, void* pUserData,
                                                      OXR_HTTP_DATA* pData);

/* Starts the socket runtime; returns its status (0 on success). */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_ClientInit(void);
/* Stops the socket runtime; returns 0. Open sessions stay registered. */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_ClientFini(void);
/* The session's own error number, or the last error number for a handle with no session. */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_GetErrNo(int nHandle);
/* Sets the log level (HTTP_LOG_*); -1 switches logging off. */
OXR_HTTP_API void OXR_HTTP_CALL OXR_HTTP_SetLog(int nLevel);

/* Opens a session and connects; returns the handle (0 to 999) or -1. nUnused is not read. */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_Open(const char* pszUrl, int nMethod,
                                             const char* pszCredentials, int nUnused,
                                             int nTimeOutMs);
/* As OXR_HTTP_Open, and registers the data callback with its user value. */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_OpenEx(const char* pszUrl, int nMethod,
                                               const char* pszCredentials, int nUnused,
                                               int nTimeOutMs, OXR_HTTP_DataCallback pfnCallback,
                                               void* pUserData);
/* Sends a request and receives the response head; 0 on success. */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_SendRequest(int nHandle, const char* pszContentLength,
                                                    const char* pBody, int nBodyLen,
                                                    int nTimeOutMs);
/* Adds or replaces a request header; 0 on success, -1 on failure. */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_AddHeader(int nHandle, const char* pszName,
                                                  const char* pszValue);
/* Removes a request header; 0 (also when absent), -1 for an unknown handle. */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_RemoveHeader(int nHandle, const char* pszName);
/* Not supported: always -1; the session's error number becomes -7. */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_GetInfoByType(int nHandle, int nType, int nArg1, int nArg2);
/* Value of a response header (name compared ignoring case), or NULL. */
OXR_HTTP_API const char* OXR_HTTP_CALL OXR_HTTP_GetInfoByName(int nHandle, const char* pszName);
/* Does nothing; 0, or -1 for an unknown handle. */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_GetContent(int nHandle, int nUnused);
/* Closes the session: stops its receiver and frees the handle; 0, or -1. */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_Close(int nHandle);

/*
 * Status code of the last response head received on the session (also when
 * it was refused; after a Digest answer, the final one); 0 when no head came.
 * With pszReason, its reason phrase goes there too (nReasonSize bytes, always
 * terminated). -1 for an unknown handle.
 */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_GetStatus(int nHandle, char* pszReason, int nReasonSize);
/*
 * HTTP_STREAM_* of the session's receiver; *pnReason gets HTTP_END_* and
 * *pnDeliveries the callbacks so far (either may be NULL). After a request
 * that got no response head, HTTP_STREAM_NONE with the reason it did not
 * come (time-out, closed). Never blocks; any thread, the callback included.
 * -1 for an unknown handle.
 */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_GetStreamState(int nHandle, int* pnReason,
                                                       int* pnDeliveries);
/* Sets an HTTP_OPT_* before SendRequest; 0, or -1 (error -5 for a bad option or value). */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_SetOption(int nHandle, int nOption, int nValue,
                                                  const char* pszValue);
/* The value of an HTTP_OPT_* (the pin: 1 when set); -1 for a bad handle or option. */
OXR_HTTP_API int OXR_HTTP_CALL OXR_HTTP_GetOption(int nHandle, int nOption);

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) && (defined(_M_IX86) || defined(__i386__))
static_assert(sizeof(OXR_HTTP_DATA) == 76, "OXR_HTTP_DATA must be 76 bytes on 32-bit targets");
#elif !defined(__cplusplus) && (defined(_M_IX86) || defined(__i386__)) &&                          \
    defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(OXR_HTTP_DATA) == 76, "OXR_HTTP_DATA must be 76 bytes on 32-bit targets");
#elif defined(__cplusplus) && (defined(_M_X64) || defined(__x86_64__))
static_assert(sizeof(OXR_HTTP_DATA) == 88, "OXR_HTTP_DATA must be 88 bytes on x86_64 targets");
#elif !defined(__cplusplus) && (defined(_M_X64) || defined(__x86_64__)) &&                         \
    defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(OXR_HTTP_DATA) == 88, "OXR_HTTP_DATA must be 88 bytes on x86_64 targets");
#endif

#endif /* OXR_HTTP_H */
