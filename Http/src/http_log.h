// The library's diagnostic sink: one line per failure, to nowhere, the
// standard error stream, or a daily file in the log directory.
#ifndef HTTP_LOG_H
#define HTTP_LOG_H

#include <atomic>
#include <cstdio>
#include <ctime>

#include "oxr.h"
#include "oxr_http.h"

class CHttpLog {
public:
    CHttpLog();
    ~CHttpLog();
    CHttpLog(const CHttpLog&) = delete;
    CHttpLog& operator=(const CHttpLog&) = delete;

    // Writes one record if nLevel is not above the current level. pszFormat is
    // a printf format; every caller passes a fixed text ending in "\n".
    // -1 when the record is filtered out, otherwise 0.
    int WriteLog(int nLevel, const char* pszFile, int nLine, const char* pszFormat, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 5, 6)))
#endif
        ;
    void SetLevel(int nLevel);
    int OpenLog();
    void CloseLog();

    // Internal hooks so tests can use another directory and clock.
    typedef time_t (*ClockFn)();
    void SetDirectory(const char* pszDir);
    void SetClock(ClockFn pfnNow);
    int GetLevel() const {
        return m_nLevel;
    }

private:
    void LetStreamGo(); // mutex held
    // A new file for the records of the second now, or NULL; mutex held.
    FILE* CreateDailyFile(const struct tm& now);

    std::atomic<long long> m_tDayMark; // local midnight (standard time) of the file's day; 0: none
    std::atomic<int> m_nLevel;
    OXR_MUTEX m_hMutex; // guards the stream and the writing of each record
    std::atomic<FILE*> m_pStream;
    std::atomic<int> m_bLogEnabled; // set once the level setter switched logging on
    bool m_bOwnStream;              // the stream is a daily file we opened
    char m_szDir[200];
    std::atomic<ClockFn> m_pfnNow;
};

extern CHttpLog g_cHttpLog;

// Levels records are written at: an allocation failure shows from level 0
// on, every other failure from level 2 (HTTP_LOG_DEBUG).
const int kLogNoMemory = HTTP_LOG_OFF;
const int kLogFailure = HTTP_LOG_DEBUG;

// Log record with the reporting statement's own source file and line.
#define HTTP_LOG(level, msg) g_cHttpLog.WriteLog((level), __FILE__, __LINE__, "%s", (msg))

#endif // HTTP_LOG_H
