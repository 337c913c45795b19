// Minimal checks for the C++ unit programs: each program runs its cases,
// prints failures and exits non-zero if any failed.
//
//   ./test_x              runs every case
//   ./test_x name ...     runs only the named cases
//   ./test_x --list       lists the case names
//
// Cases that write files write them under `scratch_dir()`.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <ranges>
#include <sstream>
#include <string>
#include <type_traits>
#include <unistd.h>
#include <utility>
#include <vector>

#include "base/panic.hpp"

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

// ---- showing values in failure reports --------------------------------------

template <class T>
concept Streamable = requires(std::ostream& os, const T& v) { os << v; };

template <class T>
concept HasToString = requires(const T& v) {
    { v.to_string() } -> std::convertible_to<std::string>;
};

template <class T>
std::string show(const T& v);

template <class T>
void show_to(std::ostream& os, const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
        os << (v ? "true" : "false");
    } else if constexpr (std::is_same_v<T, char> || std::is_same_v<T, signed char> ||
                         std::is_same_v<T, unsigned char>) {
        os << static_cast<int>(v);
    } else if constexpr (std::is_same_v<T, std::string> || std::is_convertible_v<const T&, const char*>) {
        os << '"' << v << '"';
    } else if constexpr (std::is_enum_v<T>) {
        os << static_cast<long long>(static_cast<std::underlying_type_t<T>>(v));
    } else if constexpr (Streamable<T>) {
        os << v;
    } else if constexpr (HasToString<T>) {
        os << v.to_string();
    } else if constexpr (std::ranges::input_range<const T>) {
        os << '[';
        const char* sep = "";
        for (const auto& x : v) {
            os << sep;
            show_to(os, x);
            sep = ", ";
        }
        os << ']';
    } else if constexpr (requires { v.first; v.second; }) {
        os << '(';
        show_to(os, v.first);
        os << ", ";
        show_to(os, v.second);
        os << ')';
    } else if constexpr (requires { v.has_value(); *v; }) {
        if (v.has_value()) show_to(os, *v);
        else os << "none";
    } else {
        os << "<value>";
    }
}

template <class T>
std::string show(const T& v) {
    std::ostringstream os;
    show_to(os, v);
    return os.str();
}

// Integers of different signedness compare by value, without the usual
// conversions (and their warnings).
template <class A, class B>
bool equal(const A& a, const B& b) {
    if constexpr (std::is_integral_v<A> && std::is_integral_v<B> && !std::is_same_v<A, bool> &&
                  !std::is_same_v<B, bool>)
        return std::cmp_equal(a, b);
    else
        return a == b;
}

template <class A, class B>
void check_eq(const A& a, const B& b, const char* file, int line, const char* text) {
    if (!equal(a, b)) fail(file, line, std::string(text) + "\n    left:  " + show(a) + "\n    right: " + show(b));
}

// ---- scratch files ----------------------------------------------------------

// A directory of its own under $TMPDIR (else /tmp), made by mkdtemp and
// removed, with the files and empty directories left in it, by the process
// that made it.
class ScratchDir {
public:
    ScratchDir() {
        const char* base = std::getenv("TMPDIR");
        path_ = std::string(base && *base ? base : "/tmp") + "/tessellan_test_XXXXXX";
        if (!mkdtemp(path_.data())) {
            std::perror(("mkdtemp " + path_).c_str());
            std::abort();
        }
    }
    ~ScratchDir() {
        if (getpid() != owner_) return;  // a forked child leaves it alone
        if (DIR* d = opendir(path_.c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string name = e->d_name;
                if (name == "." || name == "..") continue;
                const std::string p = path_ + "/" + name;
                if (unlink(p.c_str()) != 0) rmdir(p.c_str());
            }
            closedir(d);
        }
        rmdir(path_.c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    pid_t owner_ = getpid();
};

// The program's scratch directory, made on first use, gone when it ends.
inline const std::string& scratch_dir() {
    static const ScratchDir dir;
    return dir.path();
}

inline std::string scratch_path(const std::string& name) { return scratch_dir() + "/" + name; }

// ---- running --------------------------------------------------------------

inline int run_all(int argc, char** argv) {
    std::vector<std::string> wanted(argv + 1, argv + argc);
    if (wanted.size() == 1 && wanted[0] == "--list") {
        for (const auto& c : cases()) std::printf("%s\n", c.first);
        return 0;
    }
    for (const std::string& w : wanted) {
        bool known = false;
        for (const auto& c : cases()) known = known || w == c.first;
        if (!known) {
            std::fprintf(stderr, "no case named %s (--list shows them)\n", w.c_str());
            return 2;
        }
    }
    std::size_t ran = 0;
    for (auto& [name, fn] : cases()) {
        if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), name) == wanted.end()) continue;
        ++ran;
        const int before = failures();
        try {
            fn();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "case %s: unexpected exception: %s\n", name, e.what());
            ++failures();
        }
        if (failures() != before) std::fprintf(stderr, "case %s failed\n", name);
    }
    std::printf("%zu cases, %d failed checks\n", ran, failures());
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

// On failure, prints the expression and both values.
#define CHECK_EQ(a, b) check::check_eq((a), (b), __FILE__, __LINE__, #a " == " #b)

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
    int main(int argc, char** argv) { return check::run_all(argc, argv); }
