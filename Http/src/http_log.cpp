// CHttpLog: the level, the target (standard error or a daily file) and the
// record format. Knows nothing of sessions.
#include "http_log.h"

#include <cstdarg>
#include <cstring>

namespace {

// Labels by record level; records are written at levels 0 and 2 only.
const char* const kLabels[] = {"HTTP_LOG_OFF", "HTTP_LOG_CRIT", "HTTP_LOG_DEBUG",
                               "HTTP_LOG_STDOUT"};
const char* const kVersion = "1.0.0.20091030";
const long long kDaySeconds = 86400;

time_t SystemNow() {
    return time(nullptr);
}

// Names tried for one second's file: the plain one, then "_2" to "_N"
// before ".log".
const int kNameTries = 100;

} // namespace

CHttpLog::CHttpLog()
    : m_tDayMark(0), m_nLevel(-1), m_pStream(nullptr), m_bLogEnabled(0), m_bOwnStream(false),
      m_pfnNow(SystemNow) {
    std::memset(m_szDir, 0, sizeof(m_szDir));
    std::strncpy(m_szDir, OXR_LogDir(), sizeof(m_szDir) - 1);
    OXR_MutexCreate(&m_hMutex, -1);
}

CHttpLog::~CHttpLog() {
    OXR_MutexLock(&m_hMutex);
    LetStreamGo();
    OXR_MutexUnlock(&m_hMutex);
    OXR_MutexDestroy(&m_hMutex);
}

void CHttpLog::SetDirectory(const char* pszDir) {
    OXR_MutexLock(&m_hMutex);
    std::memset(m_szDir, 0, sizeof(m_szDir));
    std::strncpy(m_szDir, pszDir, sizeof(m_szDir) - 1);
    OXR_MutexUnlock(&m_hMutex);
}

void CHttpLog::SetClock(ClockFn pfnNow) {
    m_pfnNow = pfnNow != nullptr ? pfnNow : SystemNow;
}

void CHttpLog::LetStreamGo() {
    FILE* pStream = m_pStream.exchange(nullptr);
    if (pStream != nullptr && m_bOwnStream) {
        fclose(pStream);
    }
    m_bOwnStream = false;
}

void CHttpLog::CloseLog() {
    OXR_MutexLock(&m_hMutex);
    LetStreamGo();
    OXR_MutexUnlock(&m_hMutex);
}

int CHttpLog::WriteLog(int nLevel, const char* pszFile, int nLine, const char* pszFormat, ...) {
    if (nLevel > m_nLevel || m_pStream.load() == nullptr) {
        return -1;
    }
    if (OpenLog() != 0) {
        return 0;
    }
    struct tm now;
    std::memset(&now, 0, sizeof(now));
    OXR_LocalTime(m_pfnNow.load()(), &now);

    OXR_MutexLock(&m_hMutex);
    FILE* pStream = m_pStream.load();
    if (pStream != nullptr) {
        const char* pszLabel = (nLevel >= 0 && nLevel <= 3) ? kLabels[nLevel] : "HTTP_LOG_DEBUG";
        fprintf(pStream, "%s %04d%02d%02d%02d%02d%02d %s:%d", pszLabel, now.tm_year + 1900,
                now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec, pszFile, nLine);
        va_list args;
        va_start(args, pszFormat);
        vfprintf(pStream, pszFormat, args);
        va_end(args);
    }
    OXR_MutexUnlock(&m_hMutex);
    return 0;
}

FILE* CHttpLog::CreateDailyFile(const struct tm& now) {
    char szStem[64];
    snprintf(szStem, sizeof(szStem), "%04d%02d%02d%02d%02d%02d_%s", now.tm_year + 1900,
             now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec, kVersion);
    // A name in use (another process that started in the same second, or
    // something planted there) is never opened: the next one is tried.
    int nWhy = OXR_LOGFILE_EXISTS;
    for (int n = 1; n <= kNameTries && nWhy == OXR_LOGFILE_EXISTS; ++n) {
        char szName[80];
        if (n == 1) {
            snprintf(szName, sizeof(szName), "%s.log", szStem);
        } else {
            snprintf(szName, sizeof(szName), "%s_%d.log", szStem, n);
        }
        FILE* pFile = OXR_CreateLogFile(m_szDir, szName, &nWhy);
        if (pFile != nullptr) {
            return pFile;
        }
    }
    if (nWhy == OXR_LOGFILE_UNSAFE_DIR) {
        // Else nothing would tell why level 3 writes no file.
        fprintf(stderr,
                "oxrhttp: no log file: %s is not the user's own, or others may write to it\n",
                m_szDir);
    }
    return nullptr;
}

int CHttpLog::OpenLog() {
    long long tDayMark = m_tDayMark.load();
    time_t tNow = m_pfnNow.load()();
    if (tDayMark != 0 && static_cast<long long>(tNow) - tDayMark <= kDaySeconds) {
        return 0;
    }
    int nResult = 0;
    OXR_MutexLock(&m_hMutex);
    // Another thread may have renewed the stream while this one waited.
    tDayMark = m_tDayMark.load();
    if (tDayMark != 0 && static_cast<long long>(tNow) - tDayMark <= kDaySeconds) {
        OXR_MutexUnlock(&m_hMutex);
        return 0;
    }
    if (m_nLevel != 3) {
        // A daily file that is no longer the target is closed at once.
        if (m_bOwnStream) {
            LetStreamGo();
        }
        m_pStream = stderr;
    } else {
        nResult = -1;
        LetStreamGo();
        struct tm now;
        std::memset(&now, 0, sizeof(now));
        OXR_LocalTime(tNow, &now);
        FILE* pFile = CreateDailyFile(now);
        if (pFile != nullptr) {
            m_bOwnStream = true;
            m_pStream = pFile;
            // Day mark: local midnight of today, counted as standard time.
            now.tm_hour = 0;
            now.tm_min = 0;
            now.tm_sec = 0;
            now.tm_isdst = 0;
            m_tDayMark = static_cast<long long>(mktime(&now));
            nResult = 0;
        }
    }
    OXR_MutexUnlock(&m_hMutex);
    return nResult;
}

void CHttpLog::SetLevel(int nLevel) {
    m_nLevel = nLevel;
    if (m_bLogEnabled) {
        if (nLevel == -1) {
            CloseLog();
            // Clearing the day mark makes the next switch-on choose a target at once.
            m_tDayMark = 0;
            m_bLogEnabled = 0;
        }
    } else if (nLevel != -1) {
        OpenLog();
        m_bLogEnabled = 1;
    }
}
