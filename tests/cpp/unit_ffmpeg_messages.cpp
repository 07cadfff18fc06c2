// What a job shows of FFmpeg's messages: pieces joined into lines, repeats
// counted, the cap on different messages, the chunk's choice by origin.

#include <string>
#include <vector>

#include "log/ffmpeg_messages.h"
#include "unit.h"

namespace {

struct Piece {
    const char* from;
    const char* text;
};

struct MessagesRow {
    const char* id;
    std::vector<Piece> pieces;
    std::vector<std::string> shown;  // finish() included
};

std::vector<std::string> shown_of(const std::vector<Piece>& pieces, bool only_h264 = false) {
    std::vector<std::string> shown;
    corvane::FfmpegMessages messages([&shown](const std::string& line) { shown.push_back(line); });
    if (only_h264) messages.choose([](const std::string& from) { return from == "h264"; });
    for (const Piece& piece : pieces) messages.take(piece.from, piece.text);
    messages.finish();
    return shown;
}

UNIT_CASE("ffmpeg_messages", lines_are_joined_counted_and_named) {
    const std::vector<MessagesRow> rows = {
        {"one line", {{"h264", "error while decoding MB 5 0\n"}}, {"FFmpeg h264: error while decoding MB 5 0"}},
        {"in pieces, named by the first", {{"h264", "no "}, {"", "frame!\n"}}, {"FFmpeg h264: no frame!"}},
        {"no name", {{"", "oops\n"}}, {"FFmpeg: oops"}},
        {"an end that never came", {{"mpegts", "cut short"}}, {"FFmpeg mpegts: cut short"}},
        {"control characters", {{"h264", "a\tb\x7f" "c\n"}}, {"FFmpeg h264: a b c"}},
        {"only blanks", {{"h264", " \n"}}, {}},
        {"repeats counted",
         {{"h264", "x\n"}, {"h264", "y\n"}, {"h264", "x\n"}, {"h264", "x\n"}, {"h264", "y\n"}},
         {"FFmpeg h264: x", "FFmpeg h264: y", "FFmpeg h264: x (came 2 more times)",
          "FFmpeg h264: y (came 1 more time)"}},
        {"same text, another part", {{"h264", "x\n"}, {"hevc", "x\n"}}, {"FFmpeg h264: x", "FFmpeg hevc: x"}},
    };
    for (const auto& row : rows) {
        unit::Row at(row.id);
        CHECK_EQ(shown_of(row.pieces), row.shown);
    }
}

UNIT_CASE("ffmpeg_messages", only_the_first_different_messages_are_shown) {
    std::vector<Piece> pieces;
    std::vector<std::string> texts;
    for (int i = 0; i < corvane::FfmpegMessages::kShownMessages + 3; ++i) texts.push_back(std::to_string(i) + "\n");
    for (const std::string& text : texts) pieces.push_back({"h264", text.c_str()});
    pieces.push_back({"h264", "0\n"});
    pieces.push_back({"h264", "21\n"});
    const std::vector<std::string> shown = shown_of(pieces);
    CHECK_EQ(shown.size(), size_t{corvane::FfmpegMessages::kShownMessages + 2});
    CHECK_EQ(shown[19], std::string("FFmpeg h264: 19"));
    CHECK_EQ(shown[20], std::string("FFmpeg h264: 0 (came 1 more time)"));
    CHECK_EQ(shown[21], std::string("FFmpeg: 4 further messages not shown."));
}

UNIT_CASE("ffmpeg_messages", a_chunk_shows_only_what_it_chose) {
    CHECK_EQ(shown_of({{"h264", "kept\n"}, {"mpegts", "left\n"}, {"h264", "a"}, {"aac", "b\n"}}, true),
             (std::vector<std::string>{"FFmpeg h264: kept", "FFmpeg h264: ab"}));
}

}  // namespace
