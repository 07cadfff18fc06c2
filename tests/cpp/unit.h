#pragma once

// A small test runner for the parts of corvane that need no FFmpeg calls and
// no files, driven by tests/test_units.py:
//
//   unit_tests GROUP     runs every case of the group; prints each failed
//                        check with its case, file, line and values; exits
//                        1 when any failed, 2 when the group has no case
//   unit_tests --groups  lists the groups, one a line
//
// A group is one file, tests/cpp/unit_<group>.cpp, of cases:
//
//   UNIT_CASE("plan", square_source_is_landscape) {
//       CHECK_EQ(plan_renditions(120, 120, {"480p"}, {}).renditions[0].width, 854);
//   }
//
// A case that checks a table names the row it is at with unit::Row, so that
// a failure says which row.

#include <cstddef>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace unit {

struct Case {
    std::string group;
    std::string name;
    void (*run)();
};

inline std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}

struct Register {
    Register(const char* group, const char* name, void (*run)()) { cases().push_back({group, name, run}); }
};

struct State {
    std::string current;  // "group/case"
    std::string row;      // the table row being checked, if any
    int checks = 0;
    int failures = 0;
};

inline State& state() {
    static State s;
    return s;
}

// Names the table row that the checks in its scope are about.
class Row {
public:
    explicit Row(std::string id) { state().row = std::move(id); }
    ~Row() { state().row.clear(); }
    Row(const Row&) = delete;
    Row& operator=(const Row&) = delete;
};

// Values as a failure shows them: strings quoted, with bytes that are not
// printable ASCII escaped, so that a CR or a trailing blank shows.
inline std::string show(const std::string& text) {
    std::string shown = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            shown += '\\';
            shown += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            shown += static_cast<char>(c);
        } else {
            static const char digits[] = "0123456789abcdef";
            shown += "\\x";
            shown += digits[c >> 4];
            shown += digits[c & 15];
        }
    }
    return shown + "\"";
}
inline std::string show(const char* text) { return show(std::string(text)); }
inline std::string show(bool value) { return value ? "true" : "false"; }

template <class T>
std::string show(const T& value) {
    std::ostringstream out;
    out.precision(17);
    out << value;
    return out.str();
}

template <class T>
std::string show(const std::vector<T>& values) {
    std::string shown = "[";
    for (size_t i = 0; i < values.size(); ++i) shown += (i ? ", " : "") + show(values[i]);
    return shown + "]";
}

inline void fail(const char* file, int line, const std::string& what) {
    State& s = state();
    ++s.failures;
    std::cout << "FAIL " << s.current << (s.row.empty() ? "" : " [" + s.row + "]") << " (" << file
              << ":" << line << "): " << what << "\n";
}

inline void check(bool ok, const char* expression, const char* file, int line) {
    ++state().checks;
    if (!ok) fail(file, line, std::string("CHECK(") + expression + ")");
}

template <class A, class B>
void check_eq(const A& actual, const B& expected, const char* actual_text, const char* expected_text,
              const char* file, int line) {
    ++state().checks;
    if (actual == expected) return;
    fail(file, line, std::string("CHECK_EQ(") + actual_text + ", " + expected_text + ")\n    got:      " +
                         show(actual) + "\n    expected: " + show(expected));
}

}  // namespace unit

#define UNIT_CASE(group, name)                                                 \
    static void name();                                                        \
    static const ::unit::Register name##_registered(group, #name, name);       \
    static void name()

#define CHECK(...) ::unit::check(static_cast<bool>(__VA_ARGS__), #__VA_ARGS__, __FILE__, __LINE__)
#define CHECK_EQ(actual, expected) \
    ::unit::check_eq((actual), (expected), #actual, #expected, __FILE__, __LINE__)
