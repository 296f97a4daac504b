#include "tools/faults/Isolated.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace faults {

namespace {

// A verdict travels through a pipe the parent reads only after the child ended: it must
// fit the pipe's buffer.
constexpr size_t kLongestVerdict = 4000;
constexpr size_t kStderrTail = 4000;

struct Running {
    size_t job;
    int verdictFd;
    std::string stderrPath;
    std::chrono::steady_clock::time_point started;
};

std::string readAll(int fd) {
    std::string text;
    char chunk[512];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(got));
    return text;
}

std::string tailOf(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "";
    std::string text = readAll(fd);
    close(fd);
    unlink(path.c_str());
    return text.size() > kStderrTail ? text.substr(text.size() - kStderrTail) : text;
}

[[noreturn]] void child(const IsolatedJob& job, int verdictFd, int stderrFd) {
    dup2(stderrFd, STDERR_FILENO);
    close(stderrFd);
    std::string failure = job.body();
    std::string verdict =
        failure.rfind("ok", 0) == 0 || failure.empty() ? "PASS\n" + failure : "FAIL\n" + failure;
    verdict.resize(std::min(verdict.size(), kLongestVerdict));
    ssize_t written = write(verdictFd, verdict.data(), verdict.size());
    _exit(written == static_cast<ssize_t>(verdict.size()) ? 0 : 3);
}

Running start(const std::vector<IsolatedJob>& jobs, size_t index,
              std::map<pid_t, Running>& running) {
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    char path[] = "/tmp/ravo_faults.XXXXXX";
    int stderrFd = mkstemp(path);
    if (stderrFd < 0) {
        std::perror("mkstemp");
        std::exit(2);
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        close(fds[0]);
        child(jobs[index], fds[1], stderrFd);
    }
    close(fds[1]);
    close(stderrFd);
    Running r{index, fds[0], path, std::chrono::steady_clock::now()};
    running.emplace(pid, r);
    return r;
}

IsolatedResult finish(const IsolatedJob& job, const Running& r, int status, bool hung) {
    IsolatedResult result;
    result.label = job.label;
    std::string verdict = readAll(r.verdictFd);
    close(r.verdictFd);
    result.stderrTail = tailOf(r.stderrPath);
    if (hung) {
        result.why = "hung (did not end within its bound)";
    } else if (WIFSIGNALED(status)) {
        result.why = std::string("ended by signal ") + strsignal(WTERMSIG(status));
    } else if (WEXITSTATUS(status) != 0 || verdict.size() < 5) {
        result.why = "exited with status " + std::to_string(WEXITSTATUS(status));
    } else if (verdict.rfind("PASS\n", 0) == 0) {
        result.passed = true;
        std::string text = verdict.substr(5);
        result.figures = text.rfind("ok ", 0) == 0 ? text.substr(3) : "";
    } else {
        result.why = verdict.substr(5);
    }
    return result;
}

} // namespace

std::vector<IsolatedResult> runIsolated(const std::vector<IsolatedJob>& jobs, unsigned parallel,
                                        std::chrono::seconds bound, bool untilFailure) {
    std::vector<IsolatedResult> results(jobs.size());
    std::vector<bool> ended(jobs.size());
    std::map<pid_t, Running> running;
    size_t next = 0;
    bool failed = false;
    while (next < jobs.size() || !running.empty()) {
        while (next < jobs.size() && !failed && running.size() < std::max(1u, parallel))
            start(jobs, next++, running);
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid > 0) {
            auto found = running.find(pid);
            if (found != running.end()) {
                results[found->second.job] =
                    finish(jobs[found->second.job], found->second, status, false);
                ended[found->second.job] = true;
                failed = failed || (untilFailure && !results[found->second.job].passed);
                running.erase(found);
            }
            continue;
        }
        if (failed) {
            for (const auto& [child, r] : running) {
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
                close(r.verdictFd);
                unlink(r.stderrPath.c_str());
            }
            running.clear();
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        for (auto it = running.begin(); it != running.end();) {
            if (now - it->second.started < bound) {
                ++it;
                continue;
            }
            kill(it->first, SIGKILL);
            waitpid(it->first, &status, 0);
            results[it->second.job] = finish(jobs[it->second.job], it->second, status, true);
            ended[it->second.job] = true;
            failed = failed || untilFailure;
            it = running.erase(it);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<IsolatedResult> done;
    for (size_t i = 0; i < jobs.size(); i++)
        if (ended[i])
            done.push_back(std::move(results[i]));
    return done;
}

} // namespace faults
