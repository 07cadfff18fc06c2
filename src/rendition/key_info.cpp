#include "rendition/key_info.h"

extern "C" {
#include <libavutil/error.h>
}

#include <algorithm>
#include <cctype>
#include <sstream>

namespace corvane {

namespace {

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The muxer drops a line's CR but keeps its trailing blanks: in the key URI
// they would go into every playlist ("enc.key "), in the key file's path
// they name another file. A line of blanks only counts as empty.
Status check_line_end(const std::string& line, const char* action) {
    const std::string what = std::string("reading the key-info file's ") + action;
    if (std::all_of(line.begin(), line.end(), is_blank)) return Status{AVERROR_INVALIDDATA, what};
    if (is_blank(line.back())) return Status{AVERROR_INVALIDDATA, what + " (it ends in a blank)"};
    return Status{};
}

}  // namespace

Status parse_key_info(const std::string& text, KeyInfo& info) {
    std::istringstream file(text);
    info = KeyInfo{};
    std::string* lines[] = {&info.key_uri, &info.key_file, &info.iv};
    for (std::string* line : lines) {
        if (!std::getline(file, *line)) break;
        if (!line->empty() && line->back() == '\r') line->pop_back();
    }
    while (!info.iv.empty() && is_blank(info.iv.back())) info.iv.pop_back();
    RETURN_IF_FAILED(check_line_end(info.key_uri, "key URI line"));
    return check_line_end(info.key_file, "key file line");
}

Status check_iv(const std::string& iv) {
    const bool sound = iv.empty() || (iv.size() == 32 && std::all_of(iv.begin(), iv.end(), [](unsigned char c) {
                                          return std::isxdigit(c);
                                      }));
    return sound ? Status{} : Status{AVERROR(EINVAL), "reading the key-info file's IV line (32 hex digits)"};
}

}  // namespace corvane
