/* A program that uses an installed oxrhttp the way any application does. */
#include <stdio.h>

#include <oxr_http.h>

static int Check(const char* pszWhat, int nGot, int nWant) {
    printf("%-34s %d%s\n", pszWhat, nGot, nGot == nWant ? "" : "  <-- unexpected");
    return nGot == nWant ? 0 : 1;
}

int main(void) {
    int nFailures = 0;
    nFailures += Check("OXR_HTTP_ClientInit()", OXR_HTTP_ClientInit(), 0);
    nFailures += Check("OXR_HTTP_GetErrNo(-1) at start", OXR_HTTP_GetErrNo(-1), HTTP_ERR_NONE);
    /* A handle that names no session is refused with its own error number. */
    nFailures += Check("OXR_HTTP_Close(5) without session", OXR_HTTP_Close(5), -1);
    nFailures +=
        Check("OXR_HTTP_GetErrNo(-1) afterwards", OXR_HTTP_GetErrNo(-1), HTTP_ERR_NO_SESSION);
    nFailures += Check("OXR_HTTP_ClientFini()", OXR_HTTP_ClientFini(), 0);
    printf("%s\n", nFailures == 0 ? "consumer: all checks passed" : "consumer: FAILED");
    return nFailures == 0 ? 0 : 1;
}
