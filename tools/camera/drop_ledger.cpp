#include "drop_ledger.h"

#include <iterator>

DropLedger::Resume DropLedger::Take(const std::string& key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ForgetOld();
    const auto it = m_entries.find(key);
    if (it == m_entries.end()) {
        return Resume();
    }
    const Resume resume = it->second.resume;
    m_entries.erase(it);
    return resume;
}

void DropLedger::Put(const std::string& key, const Resume& resume) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ForgetOld();
    if (m_entries.size() >= kMaxEntries && m_entries.count(key) == 0) {
        return; // a stream too many: it starts afresh when asked again
    }
    m_entries[key] = Entry{resume, std::chrono::steady_clock::now()};
}

void DropLedger::ForgetOld() {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        it = now - it->second.at > kKeepMs ? m_entries.erase(it) : std::next(it);
    }
}
