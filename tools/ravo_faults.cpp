// Fault sweep and hostile devices: the driver's life (load, add, start, keys, stop,
// remove, unload) run again and again, each time with one thing going wrong, each run in
// a process of its own so that a crash or a hang is named and the rest still run.
//
//   ravo_faults [allocations] [usb] [hostile] [--jobs N] [--at N] [--trace] [--first-failure]
//     (default: all three, 4 jobs; --at: only that position; --trace: the driver's
//     messages of failed runs; --first-failure: stop at the first run that fails, for a
//     caller that only asks whether any does)
//
// allocations  every allocation the driver makes (pool and IRPs), failed in turn by its
//              position in the run;
// usb          every request the driver sends to the bus, failed in turn by its position,
//              in each of five ways (stall, data error, never completed, disconnection,
//              port disabled), alone and together with each of the three after it;
// hostile      receivers that lie in their descriptors, send packets no receiver should,
//              answer too late or vanish in the middle of a request.
//
// Each run must end, leave no pool, request or thread behind (the emulated verifier
// checks), say in an error message why it fell short where it did, and, where the fault
// was transient, work again after a new start. Prints how many positions were covered and
// exits non-zero on any run that failed.
#include "tools/faults/Hostile.h"
#include "tools/faults/Isolated.h"
#include "tools/faults/Scenario.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>

namespace {

constexpr auto kRunBound = std::chrono::seconds(120);

struct Tally {
    size_t runs = 0, failed = 0, unreached = 0, absorbed = 0;
    std::map<std::string, size_t> startFailures; // status -> runs
    size_t keysLost = 0;
    std::map<std::string, size_t> sites; // allocation site or kind of request -> positions
};

Tally tally(const std::vector<faults::IsolatedResult>& results, const faults::Reference& ref) {
    Tally t;
    for (const auto& r : results) {
        t.runs++;
        if (!r.passed) {
            t.failed++;
            std::printf("  FAILED %s: %s\n", r.label.c_str(), r.why.c_str());
            if (!r.stderrTail.empty())
                std::printf("    %s\n", r.stderrTail.c_str());
            std::fflush(stdout);
            continue;
        }
        char status[16] = "";
        char where[64] = "";
        size_t reports = 0;
        if (r.figures == "unreached")
            t.unreached++;
        else if (std::sscanf(r.figures.c_str(), "status=%15s reports=%zu where=%63s", status,
                             &reports, where) == 3) {
            // A chain of failed requests counts each of its kinds.
            std::string chain = where;
            for (size_t at = 0; at != std::string::npos;) {
                size_t plus = chain.find('+', at);
                std::string site = chain.substr(at, plus == std::string::npos ? plus : plus - at);
                if (site != "unsent")
                    t.sites[site]++;
                at = plus == std::string::npos ? plus : plus + 1;
            }
            if (std::strcmp(status, "0x00000000") != 0)
                t.startFailures[status]++;
            else if (reports < ref.reports)
                t.keysLost++;
            else
                t.absorbed++;
        }
    }
    return t;
}

void print(const char* what, const Tally& t) {
    std::printf("%s: %zu runs, %zu failed; the driver got over %zu, lost keys and said so in "
                "%zu",
                what, t.runs, t.failed, t.absorbed, t.keysLost);
    for (const auto& [status, runs] : t.startFailures)
        std::printf(", refused the start with %s in %zu", status.c_str(), runs);
    if (t.unreached != 0)
        std::printf("; %zu position(s) not reached", t.unreached);
    std::printf("\n  %zu sites:", t.sites.size());
    for (const auto& [site, runs] : t.sites)
        std::printf(" %s x%zu", site.c_str(), runs);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    std::set<std::string> parts;
    unsigned jobs = 4;
    uint64_t only = 0;
    bool trace = false;
    bool untilFailure = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--jobs" && i + 1 < argc) {
            jobs = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--at" && i + 1 < argc) {
            only = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--trace") {
            trace = true;
        } else if (arg == "--first-failure") {
            untilFailure = true;
        } else if (arg == "allocations" || arg == "usb" || arg == "hostile") {
            parts.insert(arg);
        } else {
            std::fprintf(stderr,
                         "usage: ravo_faults [allocations] [usb] [hostile] [--jobs N] [--at N] "
                         "[--trace] [--first-failure]\n");
            return 2;
        }
    }
    if (parts.empty())
        parts = {"allocations", "usb", "hostile"};
    faults::prepareProcess(trace);
    auto wanted = [only](uint64_t n) { return only == 0 || n == only; };

    auto reference = faults::runIsolated({{"reference", faults::referenceRun}}, 1, kRunBound);
    faults::Reference ref;
    if (!reference[0].passed || !faults::parseReference(reference[0].figures, ref)) {
        std::printf("the run without a fault failed: %s\n%s\n", reference[0].why.c_str(),
                    reference[0].stderrTail.c_str());
        return 1;
    }
    std::printf("without a fault: %llu allocations, %llu requests to the bus, %zu reports\n",
                static_cast<unsigned long long>(ref.allocations),
                static_cast<unsigned long long>(ref.requests), ref.reports);
    size_t failed = 0;
    auto go = [&](const char* part) { return parts.count(part) && !(untilFailure && failed); };

    if (go("allocations")) {
        std::vector<faults::IsolatedJob> work;
        for (uint64_t n = 1; n <= ref.allocations; n++)
            if (wanted(n))
                work.push_back({"allocation " + std::to_string(n),
                                [n, ref] { return faults::allocationRun(n, ref); }});
        Tally t = tally(faults::runIsolated(work, jobs, kRunBound, untilFailure), ref);
        print("allocations, each failed in turn", t);
        failed += t.failed;
    }
    if (go("usb")) {
        // Alone, then together with each of the three requests that follow it: those are
        // the recovery's (endpoint status, abort, pipe reset, port status, port reset).
        for (uint64_t then : {0, 1, 2, 3}) {
            if (untilFailure && failed)
                break;
            std::vector<faults::IsolatedJob> work;
            for (faults::UsbFault fault : faults::kUsbFaults) {
                for (uint64_t p = 1; p <= ref.requests; p++) {
                    if (!wanted(p))
                        continue;
                    std::vector<uint64_t> at = {p};
                    if (then != 0)
                        at.push_back(p + then);
                    std::string label = std::string(faults::nameOf(fault)) + " at request " +
                                        std::to_string(p) +
                                        (then ? " and " + std::to_string(p + then) : "");
                    work.push_back(
                        {label, [at, fault, ref] { return faults::usbRun(at, fault, ref); }});
                }
            }
            Tally t = tally(faults::runIsolated(work, jobs, kRunBound, untilFailure), ref);
            std::string what =
                std::to_string(ref.requests) + " request positions x 5 faults" +
                (then ? ", each with the request " + std::to_string(then) + " after it failing too"
                      : "");
            print(what.c_str(), t);
            failed += t.failed;
        }
    }
    if (go("hostile")) {
        std::vector<faults::IsolatedJob> work;
        for (const faults::HostileCase& c : faults::hostileReceivers())
            work.push_back({c.name, [&c] { return faults::hostileRun(c); }});
        auto results = faults::runIsolated(work, jobs, kRunBound, untilFailure);
        size_t bad = 0;
        for (const auto& r : results) {
            std::printf("  %-44s %s\n", r.label.c_str(), r.passed ? r.figures.c_str() : "FAILED");
            if (!r.passed) {
                bad++;
                std::printf("    %s\n    %s\n", r.why.c_str(), r.stderrTail.c_str());
            }
        }
        std::printf("hostile receivers: %zu cases, %zu failed\n", results.size(), bad);
        failed += bad;
    }
    std::printf("ravo_faults: %s\n", failed == 0 ? "every run held" : "some runs failed");
    return failed == 0 ? 0 : 1;
}
