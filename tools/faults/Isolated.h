// Runs each piece of work in a child process of its own, so that one that crashes, stops
// on a verifier rule or hangs is reported by name while the rest go on. The parent must
// not have started threads of its own: a child is a fork of it.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace faults {

struct IsolatedJob {
    std::string label;
    // Runs in the child; returns "" when everything held, otherwise what did not. A verdict
    // may carry figures back as "ok ..." (see IsolatedResult::figures).
    std::function<std::string()> body;
};

struct IsolatedResult {
    std::string label;
    bool passed = false;
    std::string why;     // the failed check, the signal, or "hung"
    std::string figures; // what a passing body returned after "ok "
    std::string stderrTail;
};

// Runs the jobs, up to `parallel` at a time, each bounded in real time; the results keep
// the jobs' order. With untilFailure, the first job that fails ends the others and none
// is started after it: the results hold the jobs that ended.
std::vector<IsolatedResult> runIsolated(const std::vector<IsolatedJob>& jobs, unsigned parallel,
                                        std::chrono::seconds bound, bool untilFailure = false);

} // namespace faults
