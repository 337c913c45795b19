// Panics: the report of a broken invariant or of input an operation cannot
// accept.  They are ordinary C++ exceptions inside the core; the Python
// boundary turns them into PanicException.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace tsl {

class Panic : public std::exception {
public:
    explicit Panic(std::string msg) : msg_(std::move(msg)) {}
    const char* what() const noexcept override { return msg_.c_str(); }
    const std::string& message() const noexcept { return msg_; }

private:
    std::string msg_;
};

[[noreturn]] inline void panic(std::string msg) { throw Panic(std::move(msg)); }

// The standard texts of bounds and assertion failures.
[[noreturn]] void panic_index_oob(std::size_t len, std::size_t index);

}  // namespace tsl
