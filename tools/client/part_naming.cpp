#include "part_naming.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

// "image/jpeg" from " Image/JPEG ; q=1".
std::string MediaType(const std::string& contentType) {
    std::string t = contentType.substr(0, contentType.find(';'));
    const size_t b = t.find_first_not_of(" \t");
    const size_t e = t.find_last_not_of(" \t");
    t = b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
    for (char& c : t) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return t;
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

std::string ExtensionFor(const std::string& contentType) {
    static const struct {
        const char* type;
        const char* ext;
    } kKnown[] = {
        {"image/jpeg", "jpg"},
        {"image/jpg", "jpg"},
        {"image/pjpeg", "jpg"},
        {"image/png", "png"},
        {"image/gif", "gif"},
        {"image/bmp", "bmp"},
        {"image/webp", "webp"},
        {"image/svg+xml", "svg"},
        {"text/plain", "txt"},
        {"text/html", "html"},
        {"text/xml", "xml"},
        {"text/csv", "csv"},
        {"application/json", "json"},
        {"application/xml", "xml"},
        {"application/octet-stream", "bin"},
        {"video/mp4", "mp4"},
        {"video/mp2t", "ts"},
        {"audio/basic", "au"},
        {"audio/wav", "wav"},
        {"audio/x-wav", "wav"},
    };
    const std::string type = MediaType(contentType);
    for (const auto& k : kKnown) {
        if (type == k.type) {
            return k.ext;
        }
    }
    if (EndsWith(type, "+json")) {
        return "json";
    }
    if (EndsWith(type, "+xml")) {
        return "xml";
    }
    if (type.compare(0, 5, "text/") == 0) {
        return "txt";
    }
    // image/x-portable-anymap -> bin, image/tiff -> tiff: short plain subtypes only.
    const size_t slash = type.find('/');
    if (slash != std::string::npos) {
        const std::string top = type.substr(0, slash);
        const std::string sub = type.substr(slash + 1);
        bool bPlain = !sub.empty() && sub.size() <= 5;
        for (char c : sub) {
            bPlain = bPlain && std::isalnum(static_cast<unsigned char>(c));
        }
        if (bPlain && (top == "image" || top == "audio" || top == "video")) {
            return sub;
        }
    }
    return "bin";
}

std::string PartFileName(long nIndex, const std::string& contentType) {
    char szNumber[32];
    std::snprintf(szNumber, sizeof(szNumber), "%06ld", nIndex);
    return std::string(szNumber) + "." + ExtensionFor(contentType);
}

std::string NumberedOutputName(const std::string& file, long nRound, long nRounds) {
    if (nRounds <= 1 || file.empty()) {
        return file; // one round, or standard output
    }
    const int nDigits = std::max(4, static_cast<int>(std::to_string(nRounds).size()));
    char szNumber[32];
    std::snprintf(szNumber, sizeof(szNumber), "-%0*ld", nDigits, nRound);
    // The extension is the last dot of the file's own name, not of a
    // directory, and not a leading dot (".hidden" has none).
    const size_t slash = file.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = file.find_last_of('.');
    const size_t at = dot != std::string::npos && dot > nameStart ? dot : file.size();
    return file.substr(0, at) + szNumber + file.substr(at);
}

bool IsTextual(const std::string& contentType) {
    const std::string type = MediaType(contentType);
    const std::string ext = ExtensionFor(type);
    return type.compare(0, 5, "text/") == 0 || ext == "json" || ext == "xml" ||
           type == "application/x-www-form-urlencoded" || type == "application/javascript";
}
