/*
 * mjpeg_receiver: saves the first frames of an MJPEG stream as JPEG files.
 *
 *   mjpeg_receiver URL [FRAMES [USER:PASSWORD]]
 *
 * Writes frame_0001.jpg, frame_0002.jpg, ... into the current directory and
 * exits with 0 once FRAMES frames (default 10) have arrived, or with 1 when
 * the stream ends first (the library reports why) or brings no frame for
 * 10 seconds.
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* nanosleep under -std=c11 */
#endif
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "oxr_http.h"

#if defined(_WIN32)
#include <windows.h>
static void SleepMs(int ms) {
    Sleep((DWORD)ms);
}
#else
#include <time.h>
static void SleepMs(int ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    nanosleep(&ts, NULL);
}
#endif

#define IDLE_LIMIT_MS 10000
#define POLL_MS 100

/* Shared between the receiver thread (callback) and the main thread. */
struct Receiver {
    int nWanted;
    atomic_int nSaved;
    atomic_int bFailed;
};

/* Runs on the session's receiver thread, once per whole multipart part.
   pData->pData is valid only during the call, so it is written out here. */
static int OXR_HTTP_CALLBACK OnPart(int nHandle, void* pUser, OXR_HTTP_DATA* pData) {
    struct Receiver* r = (struct Receiver*)pUser;
    char szName[32];
    FILE* f;
    int nIndex;
    (void)nHandle; /* 0 for multipart parts */
    if (strstr(pData->szContentType, "jpeg") == NULL || pData->nDataLen <= 0) {
        return 0; /* not a picture */
    }
    nIndex = atomic_load(&r->nSaved);
    if (nIndex >= r->nWanted) {
        return 0; /* enough; the main thread is about to close the session */
    }
    snprintf(szName, sizeof(szName), "frame_%04d.jpg", nIndex + 1);
    f = fopen(szName, "wb");
    if (f == NULL ||
        fwrite(pData->pData, 1, (size_t)pData->nDataLen, f) != (size_t)pData->nDataLen) {
        atomic_store(&r->bFailed, 1);
    }
    if (f != NULL) {
        fclose(f);
    }
    atomic_store(&r->nSaved, nIndex + 1);
    return 0;
}

int main(int argc, char** argv) {
    struct Receiver r;
    const char* pszType;
    char szReason[64];
    int h;
    int nStatus;
    int nState = HTTP_STREAM_RUNNING;
    int nEnd = HTTP_END_NONE;
    int nLast = 0;
    int nIdleMs = 0;

    if (argc < 2) {
        fprintf(stderr, "usage: %s URL [FRAMES [USER:PASSWORD]]\n", argv[0]);
        return 2;
    }
    r.nWanted = argc > 2 ? atoi(argv[2]) : 10;
    if (r.nWanted <= 0) {
        r.nWanted = 10;
    }
    atomic_init(&r.nSaved, 0);
    atomic_init(&r.bFailed, 0);

    if (OXR_HTTP_ClientInit() != 0) {
        fprintf(stderr, "cannot start the socket layer\n");
        return 1;
    }
    h = OXR_HTTP_OpenEx(argv[1], HTTP_METHOD_GET, argc > 3 ? argv[3] : NULL, 0, 5000, OnPart, &r);
    if (h < 0) {
        fprintf(stderr, "cannot open %s: error %d\n", argv[1], OXR_HTTP_GetErrNo(-1));
        OXR_HTTP_ClientFini();
        return 1;
    }
    /* No body, so no Content-Length text; wait up to 5 s for the response head. */
    if (OXR_HTTP_SendRequest(h, NULL, NULL, 0, 5000) != 0) {
        nStatus = OXR_HTTP_GetStatus(h, szReason, (int)sizeof(szReason));
        OXR_HTTP_GetStreamState(h, &nEnd, NULL);
        if (nStatus > 0) {
            fprintf(stderr, "refused: %d %s\n", nStatus, szReason);
        } else {
            fprintf(stderr, "no usable response head (HTTP_END_* reason %d)\n", nEnd);
        }
        OXR_HTTP_Close(h);
        OXR_HTTP_ClientFini();
        return 1;
    }
    pszType = OXR_HTTP_GetInfoByName(h, "Content-Type");
    printf("Content-Type: %s\n", pszType != NULL ? pszType : "(none)");

    /* Wait for enough frames, the end of the stream, or too long a silence. */
    while (atomic_load(&r.nSaved) < r.nWanted && nState == HTTP_STREAM_RUNNING &&
           nIdleMs < IDLE_LIMIT_MS) {
        int nNow;
        SleepMs(POLL_MS);
        nState = OXR_HTTP_GetStreamState(h, &nEnd, NULL);
        nNow = atomic_load(&r.nSaved);
        nIdleMs = nNow == nLast ? nIdleMs + POLL_MS : 0;
        nLast = nNow;
    }
    OXR_HTTP_Close(h); /* stops and joins the receiver thread */
    OXR_HTTP_ClientFini();

    if (nState == HTTP_STREAM_ENDED && atomic_load(&r.nSaved) < r.nWanted) {
        fprintf(stderr, "the stream ended first (HTTP_END_* reason %d)\n", nEnd);
    } else if (atomic_load(&r.nSaved) < r.nWanted) {
        fprintf(stderr, "no frame for %d seconds\n", IDLE_LIMIT_MS / 1000);
    }
    printf("saved %d of %d frames\n", atomic_load(&r.nSaved), r.nWanted);
    return atomic_load(&r.nSaved) == r.nWanted && !atomic_load(&r.bFailed) ? 0 : 1;
}
