// Removes the framing of chunked transfer encoding from a received stream.
#ifndef HTTP_CHUNKED_H
#define HTTP_CHUNKED_H

class CHttpChunkDecoder {
public:
    CHttpChunkDecoder() { Reset(); }
    void Reset();
    // Decodes the nLen received bytes at p in place, carrying its state over
    // from the bytes of earlier calls, so a chunk may end anywhere. Returns how
    // many data bytes now stand at the start of p. Data decoded before a
    // framing error is still returned; the error shows in Failed() and makes
    // every later call return -1. Bytes after the last chunk are ignored.
    int Decode(char* p, int nLen);
    // The zero-size chunk and its trailer have been seen.
    bool Done() const { return m_eState == kDone; }
    bool Failed() const { return m_eState == kError; }
    // Bytes came after the end of the body (which no request asked for).
    bool Surplus() const { return m_bSurplus; }

private:
    enum State {
        kSize,      // hex digits of a chunk size
        kExtension, // after the size: extensions up to the end of the line
        kSizeLf,    // CR seen after the size line
        kData,      // m_nLeft data bytes to go
        kDataCr,    // CR LF after the data
        kDataLf,
        kTrailer,     // start of a trailer line (or of the empty line that ends it)
        kTrailerLine, // inside a trailer line
        kTrailerLf,   // CR seen on an empty trailer line
        kDone,
        kError
    };
    State SizeLineEnded();

    State m_eState;
    long long m_nLeft; // size being read, then data bytes left of the chunk
    bool m_bDigits;    // the size line has at least one digit
    bool m_bSurplus;
};

#endif // HTTP_CHUNKED_H
