// A minimal test harness for the C++ core (no dependencies): TEST(name) { ... }
// registers a case; CHECK(cond) and CHECK_EQ(a, b) record failures and go on.
#pragma once

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    std::function<void()> fn;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}
inline int& failures() {
    static int n = 0;
    return n;
}

struct Register {
    Register(const char* name, std::function<void()> fn) { registry().push_back({name, std::move(fn)}); }
};

template <class T>
std::string show(const T& v) {
    std::ostringstream os;
    if constexpr (requires { os << v; }) os << v;
    else os << "<value>";
    return os.str();
}

inline void fail(const char* file, int line, const std::string& what) {
    ++failures();
    std::fprintf(stderr, "%s:%d: %s\n", file, line, what.c_str());
}

}  // namespace check

#define CHECK_CAT2(a, b) a##b
#define CHECK_CAT(a, b) CHECK_CAT2(a, b)
#define TEST(name)                                                           \
    static void name();                                                      \
    static ::check::Register CHECK_CAT(reg_, name)(#name, name);             \
    static void name()
#define CHECK(cond) \
    do { if (!(cond)) ::check::fail(__FILE__, __LINE__, "CHECK(" #cond ") failed"); } while (0)
#define CHECK_EQ(a, b)                                                                      \
    do {                                                                                    \
        auto&& check_a_ = (a);                                                              \
        auto&& check_b_ = (b);                                                              \
        if (!(check_a_ == check_b_))                                                        \
            ::check::fail(__FILE__, __LINE__,                                               \
                          "CHECK_EQ(" #a ", " #b "): " + ::check::show(check_a_) + " != " + \
                              ::check::show(check_b_));                                     \
    } while (0)
