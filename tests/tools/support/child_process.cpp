#include "child_process.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::vector<char*> Argv(const std::string& path, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

// Waits for the child at most nMs; true when it ended (status stored).
bool WaitFor(pid_t pid, long long nMs, int* pStatus) {
    const auto t0 = Clock::now();
    for (;;) {
        const pid_t r = waitpid(pid, pStatus, WNOHANG);
        if (r == pid) {
            return true;
        }
        if (r < 0 || MsSince(t0) >= nMs) {
            return r < 0;
        }
        usleep(5000);
    }
}

void DrainInto(int fd, std::string* pText) {
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) {
            return;
        }
        pText->append(buf, static_cast<size_t>(n));
    }
}

} // namespace

ProcessResult RunProcess(const std::string& path, const std::vector<std::string>& args,
                         int nLimitMs, const std::string& workDir) {
    ProcessResult result;
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        return result;
    }
    std::vector<char*> argv = Argv(path, args);
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(errPipe[0]);
        close(outPipe[1]);
        close(errPipe[1]);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) {
            _exit(126);
        }
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
    fcntl(errPipe[0], F_SETFL, O_NONBLOCK);
    int status = 0;
    bool bEnded = false;
    while (!bEnded) {
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        poll(fds, 2, 20);
        DrainInto(outPipe[0], &result.out);
        DrainInto(errPipe[0], &result.err);
        bEnded = waitpid(pid, &status, WNOHANG) == pid;
        if (!bEnded && MsSince(t0) >= nLimitMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.bTimedOut = true;
            bEnded = true;
        }
    }
    DrainInto(outPipe[0], &result.out);
    DrainInto(errPipe[0], &result.err);
    close(outPipe[0]);
    close(errPipe[0]);
    result.nMs = MsSince(t0);
    result.nExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool BackgroundProcess::Start(const std::string& path, const std::vector<std::string>& args,
                              int nLimitMs, int nLines) {
    int outPipe[2];
    if (pipe(outPipe) != 0) {
        return false;
    }
    std::vector<char*> argv = Argv(path, args);
    m_pid = fork();
    if (m_pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        close(outPipe[0]);
        close(outPipe[1]);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    m_nOut = outPipe[0];
    const auto t0 = Clock::now();
    std::string text;
    auto lines = [&] { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); };
    while (lines() < nLines && MsSince(t0) < nLimitMs) {
        pollfd p{m_nOut, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            char c[256];
            const ssize_t n = read(m_nOut, c, sizeof(c));
            if (n <= 0) {
                break;
            }
            text.append(c, static_cast<size_t>(n));
        }
    }
    if (lines() < nLines) {
        Stop();
        return false;
    }
    m_lines.clear();
    for (size_t at = 0; static_cast<int>(m_lines.size()) < nLines;) {
        const size_t nl = text.find('\n', at);
        m_lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    m_firstLine = m_lines[0];
    return true;
}

void BackgroundProcess::Stop() {
    if (m_pid > 0) {
        int status = 0;
        kill(m_pid, SIGTERM);
        if (!WaitFor(m_pid, 2000, &status)) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
    }
    if (m_nOut >= 0) {
        close(m_nOut);
        m_nOut = -1;
    }
}

int PortFromBanner(const std::string& line) {
    const std::string mark = "://127.0.0.1:";
    const size_t at = line.find(mark);
    return at == std::string::npos ? 0 : std::atoi(line.c_str() + at + mark.size());
}

int UnusedPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof(a);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
        if (s >= 0) {
            close(s);
        }
        return 0;
    }
    close(s); // never listened: connecting to it is refused
    return ntohs(a.sin_port);
}
