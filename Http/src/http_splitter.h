// Splits a multipart body into whole parts. It is fed the bytes of the body
// (chunk framing already removed) and hands each part to its sink as soon as
// the part's last byte is in; it knows nothing of sockets or threads.
#ifndef HTTP_SPLITTER_H
#define HTTP_SPLITTER_H

#include "http_part.h"

// Receives one whole part: its bytes (valid only during the call), their
// count and the part's type (the last type a part named; empty before any).
typedef void (*HttpPartFn)(void* pCtx, char* pData, int nLen, const char* pszType);

// Longest part head, its delimiter line and empty line included, however
// its bytes arrive; also the most bytes offered to one read.
const int kHttpPartHeadMax = 16384;
// A camera part is a frame or an event; anything larger is taken for a
// broken stream rather than allocated.
const int kHttpMaxPartSize = 64 * 1024 * 1024;

class CHttpPartSplitter {
public:
    // Results of Commit and Feed (apart from the library's other results).
    enum Result {
        kGoOn = 0,        // all taken; more may come
        kFraming = -401,  // a part head too long or a part too large
        kNoMemory = -402, // no block for a part that does not fit the buffer
    };

    // bCut: the boundary was longer than its text holds (HttpGetBoundary).
    CHttpPartSplitter(const char* pszBoundary, HttpPartFn pfnPart, void* pCtx, bool bCut = false);
    ~CHttpPartSplitter();
    CHttpPartSplitter(const CHttpPartSplitter&) = delete;
    CHttpPartSplitter& operator=(const CHttpPartSplitter&) = delete;

    // Where the next bytes go and how many fit (*pnRoom > 0): the free tail
    // of the buffer, or the rest of a large part's own block, so a large
    // body is received straight into the block it is delivered from.
    char* Space(int* pnRoom);
    // nLen bytes were written at Space(): delivers every part now whole.
    Result Commit(int nLen);
    // Copies bytes in (in as many Space/Commit steps as they need).
    Result Feed(const char* pData, int nLen);
    // The closing delimiter ("--boundary--") came: the rest is epilogue,
    // taken and dropped.
    bool SawClosingDelimiter() const { return m_eState == kEpilogue; }

private:
    enum State { kSeekHead, kSizedBody, kOpenBody, kBlockBody, kSpillBody, kEpilogue };

    Result Split();
    // Finds the next delimiter line; false when more bytes are needed.
    bool SeekDelimiter();
    // Reads the part head after the delimiter line that starts at nLine.
    void StartHead(int nLine);
    // Whether the delimiter line at m_nHead is the closing one; -1 while
    // that cannot be told yet (nLineEnd: its LF, or -1 before it came).
    int IsClosing(int nLineEnd) const;
    Result SeekHead(bool* pbMore);
    Result TakeSized(bool* pbMore);
    Result TakeOpen(bool* pbMore);
    Result CommitSpill(int nLen);
    Result CommitBlock(int nLen);
    // Moves the part's block to one of nCap bytes; false without memory.
    bool ResizeBlock(int nCap);
    void Deliver(char* pData, int nLen);
    void Compact();
    void FreeBlock();

    char m_szBoundary[kHttpBoundaryMax + 1];
    int m_nBoundary;
    bool m_bCut;
    HttpPartFn m_pfnPart;
    void* m_pCtx;
    State m_eState;
    // Buffer: bytes [m_nPos, m_nEnd) are held; everything before m_nPos is
    // consumed. Searches resume at m_nScan, so no byte is searched twice.
    char m_aBuf[2 * kHttpPartHeadMax];
    int m_nPos;
    int m_nEnd;
    int m_nScan;
    bool m_bLineStart; // seeking a delimiter: m_nPos begins a line
    int m_nHead;       // seeking a head: start of the delimiter found, or -1
    int m_nLine;       // reading its lines: start of the next one (-1: still in the delimiter line)
    HttpPartHead m_cHead; // what the head's lines said so far
    int m_nBody;          // in a body: its first byte
    int m_nLength;        // sized body: its length
    // A part that does not fit the buffer: its own block, grown as its bytes
    // arrive, so a claimed length alone reserves little.
    char* m_pBlock;
    int m_nBlockLen;
    int m_nBlockCap;
    // The last sized part came in its own block: the next head is read in
    // small steps, so little of the next large body passes the buffer.
    bool m_bLargeParts;
    char m_szType[kHttpPartTypeMax + 1];
};

#endif // HTTP_SPLITTER_H
