// Panics: the report of a broken invariant or of input an operation cannot
// accept.  They are ordinary C++ exceptions inside the core; the Python
// boundary turns them into PanicException.
//
// A panic remembers where it was raised: the name of the thread that raised
// it (the operating system's name, so a worker of the pool reports as
// itself even when the panic is carried back to the submitting thread) and
// the source location of the call to `panic`.  The message stays the bare
// text; the location and thread appear only in the diagnostic report.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace tsl {

class Panic : public std::exception {
public:
    explicit Panic(std::string msg, std::source_location where = std::source_location::current());
    const char* what() const noexcept override { return msg_.c_str(); }
    const std::string& message() const noexcept { return msg_; }
    const std::string& thread_name() const noexcept { return thread_; }
    const std::source_location& location() const noexcept { return where_; }

    // "thread '{thread}' panicked at {file}:{line}:\n{message}\n"
    std::string report() const;

private:
    std::string msg_;
    std::string thread_;
    std::source_location where_;
};

[[noreturn]] inline void panic(std::string msg, std::source_location where = std::source_location::current()) {
    throw Panic(std::move(msg), where);
}

// The standard texts of bounds and assertion failures.
[[noreturn]] void panic_index_oob(std::size_t len, std::size_t index,
                                  std::source_location where = std::source_location::current());

// The operating system's name of the calling thread.
std::string current_thread_name();

// A source path as reports show it: from its `src/` (or `tests/`) folder on,
// whatever directory the build ran in; other paths unchanged.
const char* report_path(const char* file) noexcept;

// Writes the diagnostic report of a panic to standard error.
void report_panic(const Panic& p) noexcept;
// The report of a failure that carries no location: another exception that
// reached the boundary, on the calling thread.
void report_panic(const std::string& msg) noexcept;

}  // namespace tsl
