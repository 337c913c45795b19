#include "base/fd_output.hpp"

#include <cerrno>
#include <unistd.h>

namespace tsl {

void write_fd_text(int fd, std::string_view text) {
    const char* p = text.data();
    std::size_t n = text.size();
    while (n) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

}  // namespace tsl
