// Captures what the process writes to the standard error stream, by
// redirecting descriptor 2 into a temporary file for the capture's lifetime.
#ifndef STDERR_CAPTURE_H
#define STDERR_CAPTURE_H

#include <string>

class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    // Stops capturing (once) and returns everything written meanwhile.
    std::string Finish();

private:
    int m_nSaved;
    std::string m_path;
    bool m_bDone;
    std::string m_text;
};

// A fresh empty directory for a test; removed with its files afterwards.
std::string MakeTempDir(const char* pszTag);
void RemoveTree(const std::string& dir);
// Names of the files in a directory.
std::string ListDir(const std::string& dir, int* pnCount);
std::string ReadFile(const std::string& path);

#endif // STDERR_CAPTURE_H
