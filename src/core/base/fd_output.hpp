// Progress text written whole to a file descriptor of the process (1 or 2),
// not through C stdio and not through the interpreter's streams.
#pragma once

#include <string_view>

namespace tsl {

// Writes all of `text`, retrying interrupted writes.  A closed or broken
// descriptor loses the text only.
void write_fd_text(int fd, std::string_view text);
inline void write_stdout_text(std::string_view text) { write_fd_text(1, text); }
inline void write_stderr_text(std::string_view text) { write_fd_text(2, text); }

}  // namespace tsl
