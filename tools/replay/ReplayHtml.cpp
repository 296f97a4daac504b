#include "tools/replay/ReplayHtml.h"

#include "tools/replay/ReplaySvg.h"

#include <fstream>

namespace replay {

namespace {

// Row classes carry a prefix: the drawings' own styles use short class names.
constexpr const char* kStyle =
    "body{font:14px/1.45 sans-serif;margin:24px;color:#222;max-width:1240px}"
    "h1{font-size:22px;margin:0 0 6px}"
    ".intro{color:#555;margin:0 0 10px}"
    ".summary{font-size:16px;font-weight:bold;margin:0 0 14px}"
    "table{border-collapse:collapse;width:100%}"
    "th,td{border-bottom:1px solid #ddd;padding:6px 8px;text-align:left;vertical-align:top}"
    "th{background:#f4f4f4}"
    "td.name{font-family:monospace;white-space:nowrap}"
    "tr.v-key td.verdict{color:#16632b}tr.v-command td.verdict{color:#9a5a00}"
    "tr.v-window td.verdict{color:#a11}tr.v-other td.verdict{color:#555}"
    "tr.v-key td.name::before{content:'\\2714  ';color:#2a2}"
    "tr.v-command td.name::before,tr.v-window td.name::before,"
    "tr.v-other td.name::before{content:'\\2716  ';color:#c33}"
    ".note{color:#777;font-size:12px;margin-top:2px}"
    "details summary{cursor:pointer;color:#16c}"
    "details svg{display:block;max-width:100%;height:auto;margin-top:6px;border:1px solid #eee}"
    ".none{color:#999;font-size:12px}"
    "details summary{font-size:12px}";

} // namespace

RemotePage::~RemotePage() {
    if (_rows != nullptr) {
        std::fclose(_rows);
    }
}

bool RemotePage::open(std::string* error) {
    _rows = std::tmpfile();
    if (_rows == nullptr) {
        *error = "no temporary file for the page's rows";
        return false;
    }
    return true;
}

void RemotePage::row(const std::string& name, const char* kind, const std::string& verdict,
                     const std::string& notes, const std::string& svg) {
    std::string html = "<tr class=\"button v-" + std::string(kind) + "\"><td class=\"name\">" +
                       markupText(name, true) + "</td><td class=\"verdict\">" +
                       markupText(verdict, true);
    if (!notes.empty()) {
        html += "<div class=\"note\">" + markupText(notes, true) + "</div>";
    }
    // The drawing folds under the verdict, where it has the table's width when opened.
    if (svg.empty()) {
        html += "<div class=\"none\">no signal to draw</div>";
    } else {
        html += "<details><summary>waveform</summary>" + svg + "</details>";
    }
    html += "</td></tr>\n";
    std::fwrite(html.data(), 1, html.size(), _rows);
}

bool RemotePage::finish(const char* path, const std::string& heading, const std::string& summary,
                        std::string* error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        *error = std::string("cannot write the page to ") + path;
        return false;
    }
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        << "<title>Will my remote work?</title>\n<style>" << kStyle << "</style></head>\n<body>\n"
        << "<h1>Will my remote work?</h1>\n<p class=\"intro\">" << markupText(heading, true)
        << "</p>\n"
        << "<p class=\"summary\">" << markupText(summary, true) << "</p>\n"
        << "<table><thead><tr><th>button</th><th>what the host gets</th></tr>"
           "</thead>\n<tbody>\n";
    std::rewind(_rows);
    char chunk[8192];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, _rows)) > 0) {
        out.write(chunk, static_cast<std::streamsize>(got));
    }
    out << "</tbody></table>\n</body></html>\n";
    out.close();
    if (!out || std::ferror(_rows)) {
        *error = std::string("cannot write the page to ") + path;
        return false;
    }
    return true;
}

} // namespace replay
