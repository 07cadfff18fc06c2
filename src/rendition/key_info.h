#pragma once

// The text of a key-info file, as the HLS muxer reads it: a key URI line, the
// key file's path and optionally an IV. Read here first, so that a bad file
// fails with an error line that says what is wrong (the muxer says only
// "invalid argument", and takes an IV line of the wrong length without a
// word). No files are touched: the key file itself is checked by the caller.

#include <string>

#include "av/status.h"

namespace corvane {

struct KeyInfo {
    std::string key_uri;
    std::string key_file;
    std::string iv;  // empty: none
};

// The first three lines of `text`, each without its CR, the IV line also
// without trailing blanks. Fails when the key URI or the key file line is
// empty, missing or ends in a blank.
Status parse_key_info(const std::string& text, KeyInfo& info);

// An IV line is either empty or 32 hex digits (no "0x").
Status check_iv(const std::string& iv);

}  // namespace corvane
