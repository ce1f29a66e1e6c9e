// Runs the tools as child processes, with bounded waits: tests never hang
// on a tool that does not end, and every camera they start is stopped.
#ifndef OXR_TOOLS_TEST_CHILD_PROCESS_H
#define OXR_TOOLS_TEST_CHILD_PROCESS_H

#include <string>
#include <sys/types.h>
#include <vector>

struct ProcessResult {
    int nExit = -1;         // exit status, or -1 when killed
    bool bTimedOut = false; // killed after the limit
    std::string out;        // standard output
    std::string err;        // standard error
    long long nMs = 0;      // how long it ran
};

// Runs path with args (without argv[0]) in workDir (empty: current), kills
// it after nLimitMs.
ProcessResult RunProcess(const std::string& path, const std::vector<std::string>& args,
                         int nLimitMs, const std::string& workDir = "");

// A server process that prints one line when it is ready, such as
// "oxr-demo-camera listening on http://127.0.0.1:PORT/ ...".
class BackgroundProcess {
public:
    BackgroundProcess() = default;
    ~BackgroundProcess() { Stop(); }
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Starts it and waits at most nLimitMs for its first nLines of output.
    bool Start(const std::string& path, const std::vector<std::string>& args, int nLimitMs,
               int nLines = 1);
    const std::string& FirstLine() const { return m_firstLine; }
    const std::vector<std::string>& Lines() const { return m_lines; }
    // SIGTERM, then SIGKILL if it has not ended within two seconds.
    void Stop();

private:
    pid_t m_pid = -1;
    int m_nOut = -1;
    std::string m_firstLine;
    std::vector<std::string> m_lines;
};

// The port in "http://127.0.0.1:PORT/", or 0.
int PortFromBanner(const std::string& line);

// A loopback port on which nothing listens (bound once, then released).
int UnusedPort();

#endif
