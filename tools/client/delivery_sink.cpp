#include "delivery_sink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "part_naming.h"

namespace {

constexpr size_t kMaxTypesKept = 4;

int64_t UnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    return (std::filesystem::path(dir) / name).string();
}

} // namespace

DeliverySink::DeliverySink(const SinkSettings& settings) : m_settings(settings) {}

DeliverySink::~DeliverySink() {
    Finish();
}

bool DeliverySink::Prepare(std::string* pError) {
    if (!m_settings.partsDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(m_settings.partsDir, ec);
        if (ec) {
            *pError = "cannot create " + m_settings.partsDir + ": " + ec.message();
            return false;
        }
        const std::string index = JoinPath(m_settings.partsDir, "index.tsv");
        m_pIndex = std::fopen(index.c_str(), "w");
        if (m_pIndex == nullptr) {
            *pError = "cannot write " + index + ": " + std::strerror(errno);
            return false;
        }
        std::fputs("part\tfile\tbytes\tcontent_type\treceived_unix_ms\n", m_pIndex);
    }
    return true;
}

bool DeliverySink::BeginTransfer(const std::string& outputFile,
                                 std::chrono::steady_clock::time_point tSent, std::string* pError) {
    std::lock_guard<std::mutex> lock(m_mutex);
    EndTransferLocked();
    m_bInTransfer = true;
    m_start = tSent;
    m_outputFile = outputFile;
    m_mode = Mode::kUnknown;
    m_responseType.clear();
    m_held.clear();
    m_stats = SinkStats();
    m_dGapSumMs = 0;
    if (!outputFile.empty()) {
        m_pOut = std::fopen(outputFile.c_str(), "wb");
        if (m_pOut == nullptr) {
            *pError = "cannot write " + outputFile + ": " + std::strerror(errno);
            return false;
        }
    } else if (m_settings.partsDir.empty()) {
        m_pOut = stdout;
    }
    return true;
}

void DeliverySink::Deliver(const char* pData, int nLen, const char* pszContentType) {
    Held d;
    d.at = std::chrono::steady_clock::now();
    d.nUnixMs = UnixMs();
    if (pData != nullptr && nLen > 0) {
        d.bytes.assign(pData, static_cast<size_t>(nLen));
    }
    // szContentType is a fixed array of 68 bytes; do not read past it.
    d.type.assign(pszContentType, strnlen(pszContentType, 68));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stats.nDeliveries++;
        if (m_mode == Mode::kUnknown) {
            m_held.push_back(std::move(d));
        } else {
            Take(d);
        }
    }
    m_delivered.notify_all();
}

void DeliverySink::NoteReconnect(const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stats.nReconnects++;
        m_stats.lastReconnect = reason;
        auto& reasons = m_stats.reconnectReasons;
        auto it = std::find_if(reasons.begin(), reasons.end(),
                               [&](const auto& r) { return r.first == reason; });
        if (it != reasons.end()) {
            it->second++;
        } else {
            reasons.emplace_back(reason, 1);
        }
    }
    m_delivered.notify_all(); // the status line shows it at once
}

void DeliverySink::SetMode(Mode mode, const std::string& responseType) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mode = mode;
        m_responseType = responseType;
        for (const Held& d : m_held) {
            Take(d);
        }
        m_held.clear();
    }
    m_delivered.notify_all();
}

void DeliverySink::Take(const Held& d) {
    const long long nMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(d.at - m_start).count();
    if (m_stats.nFirstMs < 0) {
        m_stats.nFirstMs = nMs;
    }
    m_stats.nLastMs = nMs;
    if (m_mode == Mode::kMultipart) {
        TakePart(d);
    } else {
        TakeRaw(d);
    }
}

void DeliverySink::TakePart(const Held& d) {
    if (m_settings.nMaxParts > 0 && m_stats.nParts >= m_settings.nMaxParts) {
        m_stats.nDropped++;
        return;
    }
    if (m_stats.nParts > 0) {
        const long long gap =
            std::chrono::duration_cast<std::chrono::milliseconds>(d.at - m_lastPartAt).count();
        m_dGapSumMs += static_cast<double>(gap);
        m_stats.dGapMeanMs = m_dGapSumMs / static_cast<double>(m_stats.nParts);
        m_stats.nGapMaxMs = std::max(m_stats.nGapMaxMs, gap);
    }
    m_lastPartAt = d.at;
    m_stats.nParts++;
    m_stats.nBytes += static_cast<long long>(d.bytes.size());
    if (m_stats.types.size() < kMaxTypesKept &&
        std::find(m_stats.types.begin(), m_stats.types.end(), d.type) == m_stats.types.end()) {
        m_stats.types.push_back(d.type);
    }
    if (!m_stats.error.empty()) {
        return;
    }
    if (m_settings.partsDir.empty()) {
        WriteOut(d.bytes, d.type, true);
        return;
    }
    const long long nPart = m_nPartsBefore + m_stats.nPartFiles + 1;
    const std::string name = PartFileName(nPart, d.type);
    const std::string path = JoinPath(m_settings.partsDir, name);
    FILE* f = std::fopen(path.c_str(), "wb");
    const bool bOk =
        f != nullptr && std::fwrite(d.bytes.data(), 1, d.bytes.size(), f) == d.bytes.size();
    if (f == nullptr || std::fclose(f) != 0 || !bOk) {
        Fail("cannot write " + path + ": " + std::strerror(errno));
        return;
    }
    m_stats.nPartFiles++;
    WriteIndex(nPart, name, d.bytes.size(), d.type, d.nUnixMs);
}

void DeliverySink::TakeRaw(const Held& d) {
    m_stats.nBytes += static_cast<long long>(d.bytes.size());
    if (!m_stats.error.empty()) {
        return;
    }
    if (!m_settings.partsDir.empty() && m_outputFile.empty()) {
        if (m_pRawPart == nullptr) {
            const std::string path =
                JoinPath(m_settings.partsDir, PartFileName(m_nPartsBefore + 1, m_responseType));
            m_pRawPart = std::fopen(path.c_str(), "wb");
            m_nRawFirstUnixMs = d.nUnixMs;
            if (m_pRawPart == nullptr) {
                Fail("cannot write " + path + ": " + std::strerror(errno));
                return;
            }
        }
        if (std::fwrite(d.bytes.data(), 1, d.bytes.size(), m_pRawPart) != d.bytes.size()) {
            Fail("cannot write the body into " + m_settings.partsDir);
        }
        return;
    }
    WriteOut(d.bytes, m_responseType, false);
}

bool DeliverySink::WriteOut(const std::string& bytes, const std::string& type, bool bPart) {
    if (m_pOut == nullptr) {
        return true;
    }
    const bool bTerminal = m_pOut == stdout && m_settings.bStdoutIsTerminal;
    if (bTerminal && !IsTextual(type)) {
        m_stats.bBinaryToTerminalSkipped = true;
        return true;
    }
    bool bOk = std::fwrite(bytes.data(), 1, bytes.size(), m_pOut) == bytes.size();
    // Parts shown on a terminal one per line, even when they do not end in one.
    if (bOk && bTerminal && bPart && (bytes.empty() || bytes.back() != '\n')) {
        bOk = std::fputc('\n', m_pOut) != EOF;
    }
    if (bOk && m_pOut == stdout) {
        bOk = std::fflush(stdout) == 0; // a live event stream shows as it comes
    }
    if (!bOk) {
        Fail(m_pOut == stdout ? "cannot write to standard output" : "cannot write " + m_outputFile);
    }
    return bOk;
}

bool DeliverySink::WriteIndex(long long nIndex, const std::string& name, size_t nBytes,
                              const std::string& type, int64_t nUnixMs) {
    if (m_pIndex == nullptr) {
        return true;
    }
    std::fprintf(m_pIndex, "%lld\t%s\t%zu\t%s\t%lld\n", nIndex, name.c_str(), nBytes, type.c_str(),
                 static_cast<long long>(nUnixMs));
    if (std::fflush(m_pIndex) != 0) {
        Fail("cannot write the index in " + m_settings.partsDir);
        return false;
    }
    return true;
}

void DeliverySink::Fail(const std::string& what) {
    if (m_stats.error.empty()) {
        m_stats.error = what;
    }
}

void DeliverySink::Wake() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nWakes++;
    }
    m_delivered.notify_all();
}

void DeliverySink::WaitForDelivery(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const long long nSeen = m_stats.nDeliveries;
    const long long nWakes = m_nWakes;
    m_delivered.wait_for(lock, limit,
                         [&] { return m_stats.nDeliveries != nSeen || m_nWakes != nWakes; });
}

SinkStats DeliverySink::Stats() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

void DeliverySink::EndTransfer() {
    std::lock_guard<std::mutex> lock(m_mutex);
    EndTransferLocked();
}

void DeliverySink::EndTransferLocked() {
    if (!m_bInTransfer) {
        return;
    }
    m_bInTransfer = false;
    if (m_pRawPart != nullptr) {
        if (std::fclose(m_pRawPart) != 0) {
            Fail("cannot write the body into " + m_settings.partsDir);
        }
        m_pRawPart = nullptr;
        m_stats.nPartFiles++;
        WriteIndex(m_nPartsBefore + 1, PartFileName(m_nPartsBefore + 1, m_responseType),
                   static_cast<size_t>(m_stats.nBytes), m_responseType, m_nRawFirstUnixMs);
    }
    m_nPartsBefore += m_stats.nPartFiles;
    if (m_pOut != nullptr && m_pOut != stdout) {
        if (std::fclose(m_pOut) != 0) {
            Fail("cannot write " + m_outputFile);
        }
    }
    m_pOut = nullptr;
}

void DeliverySink::Finish() {
    std::lock_guard<std::mutex> lock(m_mutex);
    EndTransferLocked();
    if (m_pIndex != nullptr) {
        std::fclose(m_pIndex);
        m_pIndex = nullptr;
    }
}
