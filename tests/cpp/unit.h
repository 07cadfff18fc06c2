#pragma once

// A tiny runner for tests of the C++ code that needs no media: checks record
// their failure, with where and what, and the tests go on.

#include <iostream>
#include <sstream>
#include <string>

namespace unit {

inline int& failures() {
    static int count = 0;
    return count;
}

inline void fail(const char* file, int line, const std::string& what) {
    ++failures();
    std::cerr << file << ":" << line << ": " << what << "\n";
}

template <class A, class B>
void check_eq(const A& a, const B& b, const char* a_text, const char* b_text, const char* file, int line) {
    if (a == b) return;
    std::ostringstream what;
    what << "CHECK_EQ(" << a_text << ", " << b_text << "): " << a << " != " << b;
    fail(file, line, what.str());
}

}  // namespace unit

#define CHECK(cond) ((cond) ? (void)0 : ::unit::fail(__FILE__, __LINE__, "CHECK(" #cond ") failed"))
#define CHECK_EQ(a, b) ::unit::check_eq((a), (b), #a, #b, __FILE__, __LINE__)

// The groups of cases.
void unit_audio_timeline();
