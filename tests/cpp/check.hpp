// Minimal checks for the C++ unit programs: each program runs its cases,
// prints failures and exits non-zero if any failed.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "model/panic.hpp"

namespace check {

inline int& failures() {
    static int n = 0;
    return n;
}

inline std::vector<std::pair<const char*, std::function<void()>>>& cases() {
    static std::vector<std::pair<const char*, std::function<void()>>> c;
    return c;
}

struct Register {
    Register(const char* name, std::function<void()> fn) { cases().emplace_back(name, std::move(fn)); }
};

inline void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
    ++failures();
}

inline int run_all() {
    for (auto& [name, fn] : cases()) {
        try {
            fn();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "case %s: unexpected exception: %s\n", name, e.what());
            ++failures();
        }
    }
    std::printf("%zu cases, %d failed checks\n", cases().size(), failures());
    return failures() ? 1 : 0;
}

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST_CASE(name)                                                        \
    static void CHECK_CONCAT(case_, name)();                                   \
    static check::Register CHECK_CONCAT(reg_, name)(#name, CHECK_CONCAT(case_, name)); \
    static void CHECK_CONCAT(case_, name)()

#define CHECK(cond)                                                \
    do {                                                           \
        if (!(cond)) check::fail(__FILE__, __LINE__, #cond);       \
    } while (0)

#define CHECK_EQ(a, b)                                                                     \
    do {                                                                                   \
        if (!((a) == (b))) check::fail(__FILE__, __LINE__, #a " == " #b);                  \
    } while (0)

// Checks that `expr` panics with exactly `text`.
#define CHECK_PANICS(expr, text)                                                            \
    do {                                                                                    \
        bool panicked_ = false;                                                             \
        try {                                                                               \
            (void)(expr);                                                                   \
        } catch (const tsl::Panic& p_) {                                                    \
            panicked_ = true;                                                               \
            if (p_.message() != std::string(text))                                          \
                check::fail(__FILE__, __LINE__, "panic text '" + p_.message() + "' != '" + text + "'"); \
        }                                                                                   \
        if (!panicked_) check::fail(__FILE__, __LINE__, #expr " did not panic");            \
    } while (0)

#define CHECK_MAIN() \
    int main() { return check::run_all(); }
