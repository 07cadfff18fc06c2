// The key-info file's text: its three lines, and the problems that each
// fail a rendition with their own error line. The key file itself (a file
// of 16 bytes) is checked by tests/test_robustness.py.

extern "C" {
#include <libavutil/error.h>
}

#include <string>

#include "rendition/key_info.h"
#include "unit.h"

namespace {

const std::string kIv = "0123456789abcdef0123456789abcdef";
const char* kUriLine = "reading the key-info file's key URI line";
const char* kFileLine = "reading the key-info file's key file line";
const char* kIvLine = "reading the key-info file's IV line (32 hex digits)";

}  // namespace

UNIT_CASE("key_info", lines_read) {
    struct LinesRow {
        const char* id;
        std::string text;
        corvane::KeyInfo lines;
    };
    const LinesRow rows[] = {
        {"two-lines", "enc.key\n/keys/enc.key\n", {"enc.key", "/keys/enc.key", ""}},
        {"no-last-line-feed", "enc.key\n/keys/enc.key", {"enc.key", "/keys/enc.key", ""}},
        {"with-iv", "enc.key\n/keys/enc.key\n" + kIv + "\n", {"enc.key", "/keys/enc.key", kIv}},
        {"crlf", "enc.key\r\n/keys/enc.key\r\n" + kIv + "\r\n", {"enc.key", "/keys/enc.key", kIv}},
        {"trailing-blanks-after-the-iv", "enc.key\n/keys/enc.key\n" + kIv + " \r\n",
         {"enc.key", "/keys/enc.key", kIv}},
        {"blank-iv-line", "enc.key\n/keys/enc.key\n   \n", {"enc.key", "/keys/enc.key", ""}},
        // Leading blanks are part of the line, as for the muxer.
        {"leading-blanks-kept", " enc.key\n /keys/enc.key\n", {" enc.key", " /keys/enc.key", ""}},
        {"lines-after-the-iv-ignored", "enc.key\n/keys/enc.key\n" + kIv + "\nmore\n",
         {"enc.key", "/keys/enc.key", kIv}},
        {"urls", "https://keys.example/k?id=1\nhttps://keys.example/k\n",
         {"https://keys.example/k?id=1", "https://keys.example/k", ""}},
    };
    for (const auto& row : rows) {
        unit::Row at(row.id);
        corvane::KeyInfo info{"stale", "stale", "stale"};
        const corvane::Status status = corvane::parse_key_info(row.text, info);
        CHECK(status.ok());
        CHECK_EQ(info.key_uri, row.lines.key_uri);
        CHECK_EQ(info.key_file, row.lines.key_file);
        CHECK_EQ(info.iv, row.lines.iv);
    }
}

UNIT_CASE("key_info", missing_lines) {
    struct MissingRow {
        const char* id;
        std::string text;
        const char* action;
    };
    const MissingRow rows[] = {
        {"empty", "", kUriLine},
        {"only-a-line-feed", "\n", kUriLine},
        {"blank-first-line", "\nenc.key\n/keys/enc.key\n", kUriLine},
        {"blanks-first-line", " \t\r\n/keys/enc.key\n", kUriLine},
        {"one-line", "enc.key\n", kFileLine},
        {"one-line-no-line-feed", "enc.key", kFileLine},
        {"blank-second-line", "enc.key\n  \r\n" + kIv + "\n", kFileLine},
        // The muxer would keep a trailing blank: in the playlists' key URI,
        // in the key file's path.
        {"uri-ends-in-a-blank", "enc.key \t\n/keys/enc.key\n",
         "reading the key-info file's key URI line (it ends in a blank)"},
        {"uri-ends-in-a-blank-before-cr", "enc.key \r\n/keys/enc.key\r\n",
         "reading the key-info file's key URI line (it ends in a blank)"},
        {"key-file-ends-in-a-blank", "enc.key\n/keys/enc.key  \n",
         "reading the key-info file's key file line (it ends in a blank)"},
    };
    for (const auto& row : rows) {
        unit::Row at(row.id);
        corvane::KeyInfo info;
        const corvane::Status status = corvane::parse_key_info(row.text, info);
        CHECK_EQ(status.code, AVERROR_INVALIDDATA);
        CHECK_EQ(status.action, std::string(row.action));
        CHECK_EQ(status.reason, std::string());
    }
}

UNIT_CASE("key_info", iv_lines) {
    struct IvRow {
        const char* id;
        std::string line;
        bool sound;
    };
    const IvRow rows[] = {
        {"none", "", true},
        {"lower-case", kIv, true},
        {"upper-case", "0123456789ABCDEF0123456789ABCDEF", true},
        {"trailing-blanks-and-cr", kIv + " \t\r", true},
        {"all-not-hex", "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz", false},
        {"one-not-hex", "0123456789abcdef0123456789abcdeg", false},
        {"16-digits", "0123456789abcdef", false},
        {"31-digits", "0123456789abcdef0123456789abcde", false},
        {"0x-prefix", "0x0123456789abcdef0123456789abcdef", false},
        {"34-digits", "0123456789abcdef0123456789abcdef00", false},
        {"blank-inside", "0123456789abcdef 123456789abcdef", false},
        {"leading-blank", " 0123456789abcdef0123456789abcdef", false},
        {"nul-inside", std::string("0123456789abcdef\0" "123456789abcdef", 32), false},
    };
    for (const auto& row : rows) {
        unit::Row at(row.id);
        // Through the whole file, as a rendition reads it.
        corvane::KeyInfo info;
        CHECK(corvane::parse_key_info("enc.key\n/keys/enc.key\n" + row.line + "\n", info).ok());
        const corvane::Status status = corvane::check_iv(info.iv);
        if (row.sound) {
            CHECK(status.ok());
        } else {
            CHECK_EQ(status.code, AVERROR(EINVAL));
            CHECK_EQ(status.action, std::string(kIvLine));
        }
    }
}
