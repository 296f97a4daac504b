// Will my remote work? Every button of a remote file (irkit/RemoteFile.h) pressed once,
// each through a fresh driver stack (load, add, start, the button's packets, stop,
// unload), as a person presses one button at a time; a table says what the host got from
// each, and a summary line counts the verdicts. With --html the same as a page.
#pragma once

#include "irkit/RemoteFile.h"
#include "tools/replay/ReplayArgs.h"
#include "tools/replay/ReplayRun.h"

#include <cstdint>
#include <string>

namespace replay {

enum class VerdictKind {
    Key,     // the host gets a key
    Command, // the decoder gives a command that maps to no key
    Window,  // an NEC frame misses one of the decoder's windows
    Other,   // repeat code only, another protocol, a frame refused for another reason
};

struct ButtonVerdict {
    VerdictKind kind = VerdictKind::Other;
    std::string text;    // what the host gets, or why nothing
    uint32_t missUs = 0; // Window: by how much the nearest frame misses its window
};

// The verdict on one button from its quiet run (record null: the button has no timings).
ButtonVerdict judgeButton(const irkit::RemoteButton& button, const RunRecord* record, bool rc5);

// The protocol a signal's timing reads as, for one the decoder does not take: "SIRC (2.4 ms
// leader)", "RC5 (889 us half bits)", "unknown (first pulse 3.00 ms, then space 1.00 ms)".
std::string protocolByTiming(const irkit::Timings& timings);

// The whole --remote run; returns the exit code (0 whatever the verdicts, 1 for a file
// that cannot be read or a page that cannot be written, with the reason on stderr).
int runRemote(const Options& options);

} // namespace replay
