// Feeds a whole response (head, then a raw, multipart, lengthless or
// chunked body) to the transport's head receive and its receiver, through
// the connection's byte source, in reads cut where the input says, with a
// Close (Abort) at a chosen read. Checks what the receiver promises, not only
// that it does not crash.
//
// Input: byte 0 the read at which Close comes (0: none), byte 1 the number
// of piece sizes that follow (at most 16; its top bit: keep-alive, so the
// body ends by its framing), those sizes (cycled), then the bytes the device
// sends.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "http_request.h"

namespace {

void Check(bool bOk) {
    if (!bOk) {
        __builtin_trap();
    }
}

struct Run {
    const char* pStream;
    size_t nStream;
    size_t nAt = 0;
    std::vector<unsigned char> sizes;
    size_t nReads = 0;
    size_t nAbortAt = 0;
    bool bAborted = false;
    CHttpRequest* pReq = nullptr;
    std::vector<std::string> data; // every delivery with data
    int nEndRecords = 0;
    bool bDeliveredAfterAbort = false;
};

int Source(void* pCtx, char* pBuf, int nLen) {
    Run* r = static_cast<Run*>(pCtx);
    ++r->nReads;
    if (r->nAbortAt != 0 && r->nReads == r->nAbortAt) {
        r->pReq->Abort();
        r->bAborted = true;
    }
    if (r->nAt >= r->nStream) {
        return 0; // the device closes
    }
    size_t n = r->sizes.empty() ? 4096 : r->sizes[r->nReads % r->sizes.size()];
    n = n == 0 ? 1 : n;
    n = n > static_cast<size_t>(nLen) ? static_cast<size_t>(nLen) : n;
    n = n > r->nStream - r->nAt ? r->nStream - r->nAt : n;
    std::memcpy(pBuf, r->pStream + r->nAt, n);
    r->nAt += n;
    return static_cast<int>(n);
}

int Deliver(int, void* pUser, OXR_HTTP_DATA* pData) {
    Run* r = static_cast<Run*>(pUser);
    Check(pData->szContentType[sizeof(pData->szContentType) - 1] == '\0');
    if (pData->pData == nullptr) {
        Check(pData->nDataLen == 0);
        ++r->nEndRecords;
        return 0;
    }
    Check(r->nEndRecords == 0); // the end record comes last
    Check(pData->nDataLen >= 0);
    r->bDeliveredAfterAbort = r->bDeliveredAfterAbort || r->bAborted;
    r->data.emplace_back(pData->pData, static_cast<size_t>(pData->nDataLen));
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 2 || nSize > 1 << 20) {
        return 0;
    }
    Run run;
    run.nAbortAt = pData[0];
    const bool bKeepAlive = (pData[1] & 0x80) != 0;
    size_t nCuts = (pData[1] & 0x7f) % 17;
    if (nSize < 2 + nCuts) {
        return 0;
    }
    run.sizes.assign(pData + 2, pData + 2 + nCuts);
    run.pStream = reinterpret_cast<const char*>(pData + 2 + nCuts);
    run.nStream = nSize - 2 - nCuts;

    CHttpRequest req;
    run.pReq = &req;
    const HttpByteSource source = {Source, nullptr, &run};
    req.GetConnection().SetSource(&source);
    req.SetDataCallback(7, Deliver, &run);
    req.SetKeepAlive(bKeepAlive);
    CHttpReceiver& recv = req.GetReceiver();
    recv.SetEndRecord(true);
    if (req.RecvHead(1000) != 0) {
        Check(run.data.empty());
        return 0;
    }
    const CHttpResponseHead& head = req.GetHead();
    const int nHead = head.GetHeadLen();
    Check(nHead > 0 && nHead <= head.GetRecvLen() && head.GetRecvLen() <= kHttpRecvBufSize);
    req.ReceiveHere();
    if (recv.GetStreamState() == HTTP_STREAM_NONE) {
        Check(run.bAborted && run.data.empty()); // closed before the receiver began
        return 0;
    }

    // Nothing after Close, and exactly one end record.
    Check(!run.bDeliveredAfterAbort);
    Check(run.nEndRecords == 1);
    Check(recv.GetStreamState() == HTTP_STREAM_ENDED);
    Check(recv.GetDeliveries() == static_cast<int>(run.data.size()));
    const std::string body(run.pStream + nHead, run.nStream - static_cast<size_t>(nHead));
    size_t nDelivered = 0;
    for (const std::string& d : run.data) {
        nDelivered += d.size();
    }
    if (bKeepAlive) {
        // The body ends by its framing (after any interim heads): what came
        // is never more than was sent, and a raw unchunked body is one run
        // of the stream's bytes.
        Check(nDelivered <= run.nStream);
        if (!recv.IsMultipart() && !recv.IsChunked()) {
            std::string joined;
            for (const std::string& d : run.data) {
                joined += d;
            }
            Check(joined.empty() ||
                  std::string(run.pStream, run.nStream).find(joined) != std::string::npos);
        }
        return 0;
    }
    if (!recv.IsMultipart()) {
        // Raw: every byte after the head, in order, nothing else.
        std::string joined;
        for (const std::string& d : run.data) {
            joined += d;
        }
        Check(run.bAborted ? body.compare(0, joined.size(), joined) == 0 : joined == body);
    } else if (!recv.IsChunked()) {
        // Each part is bytes of the body, taken from it as they stand.
        Check(nDelivered <= body.size());
        for (const std::string& d : run.data) {
            Check(d.empty() || body.find(d) != std::string::npos);
        }
    } else {
        Check(nDelivered <= body.size()); // chunk framing is only ever removed
    }
    return 0;
}
