#include "base/panic.hpp"

#include <sys/prctl.h>

#include <cstdio>
#include <string_view>

namespace tsl {

Panic::Panic(std::string msg, std::source_location where)
    : msg_(std::move(msg)), thread_(current_thread_name()), where_(where) {}

std::string Panic::report() const {
    std::string out = "thread '" + thread_ + "' panicked at " + report_path(where_.file_name()) + ":" +
                      std::to_string(where_.line()) + ":\n";
    out += msg_;
    out += '\n';
    return out;
}

void panic_index_oob(std::size_t len, std::size_t index, std::source_location where) {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index),
          where);
}

std::string current_thread_name() {
    char name[17] = {};  // the kernel's limit is 16 bytes with the terminator
    if (::prctl(PR_GET_NAME, name, 0, 0, 0) != 0 || !name[0]) return "<unnamed>";
    return name;
}

const char* report_path(const char* file) noexcept {
    if (!file) return "<unknown>";
    const std::string_view path(file);
    if (path.starts_with("src/") || path.starts_with("tests/")) return file;
    // The last such folder, so a checkout that sits below some other src/
    // folder still reports from its own.
    std::size_t best = std::string_view::npos;
    for (std::string_view dir : {"/src/", "/tests/"}) {
        const std::size_t at = path.rfind(dir);
        if (at != std::string_view::npos && (best == std::string_view::npos || at > best)) best = at;
    }
    return best == std::string_view::npos ? file : file + best + 1;
}

namespace {

void write_report(const std::string& text) noexcept {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

void report_panic(const Panic& p) noexcept {
    try {
        write_report(p.report());
    } catch (...) {
        // No memory for the report: the panic itself still reaches the caller.
    }
}

void report_panic(const std::string& msg) noexcept {
    try {
        write_report("thread '" + current_thread_name() + "' panicked:\n" + msg + "\n");
    } catch (...) {
    }
}

}  // namespace tsl
