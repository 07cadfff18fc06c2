#pragma once

#include <string>

namespace corvane {

// Levels of a console line, passed around as a plain int.
enum LogLevel : int { INFO = 0, WARN = 1, ERROR = 2, SUCCESS = 3 };

// Writes one whole line "[YYYY-mm-dd HH:MM:SS] [LABEL] message": ERROR lines
// on std::cerr, every other level on std::cout (unknown levels as INFO).
// Safe to call from any thread; lines never mix.
void log_message(int level, const std::string& message);

}  // namespace corvane
