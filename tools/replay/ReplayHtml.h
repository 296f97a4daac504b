// The verdicts of a remote as one self-contained page: inline CSS, each button's waveform
// as inline SVG folded in a <details>, no script and nothing fetched. Rows go to a
// temporary file as they come, so the page's memory does not grow with the remote; the
// page is written whole at the end, its summary above the table.
#pragma once

#include <cstdio>
#include <string>

namespace replay {

class RemotePage {
public:
    RemotePage() = default;
    ~RemotePage();
    RemotePage(const RemotePage&) = delete;
    RemotePage& operator=(const RemotePage&) = delete;

    // False with the reason when the rows have nowhere to go.
    bool open(std::string* error);
    // kind: "key", "command", "window" or "other"; svg empty: nothing to draw.
    void row(const std::string& name, const char* kind, const std::string& verdict,
             const std::string& notes, const std::string& svg);
    bool finish(const char* path, const std::string& heading, const std::string& summary,
                std::string* error);

private:
    std::FILE* _rows = nullptr;
};

} // namespace replay
