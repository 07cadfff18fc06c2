#include "rendition/key_info.h"

extern "C" {
#include <libavutil/error.h>
}

#include <algorithm>
#include <cctype>
#include <sstream>

namespace corvane {

Status parse_key_info(const std::string& text, KeyInfo& info) {
    std::istringstream file(text);
    info = KeyInfo{};
    std::string* lines[] = {&info.key_uri, &info.key_file, &info.iv};
    for (std::string* line : lines) {
        if (!std::getline(file, *line)) break;
        while (!line->empty() && std::isspace(static_cast<unsigned char>(line->back()))) line->pop_back();
    }
    if (info.key_uri.empty()) return Status{AVERROR_INVALIDDATA, "reading the key-info file's key URI line"};
    if (info.key_file.empty()) return Status{AVERROR_INVALIDDATA, "reading the key-info file's key file line"};
    return Status{};
}

Status check_iv(const std::string& iv) {
    const bool sound = iv.empty() || (iv.size() == 32 && std::all_of(iv.begin(), iv.end(), [](unsigned char c) {
                                          return std::isxdigit(c);
                                      }));
    return sound ? Status{} : Status{AVERROR(EINVAL), "reading the key-info file's IV line (32 hex digits)"};
}

}  // namespace corvane
