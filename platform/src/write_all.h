// Writing a whole buffer to a descriptor, through short writes and interruptions.
#pragma once
#include <unistd.h>

#include <cerrno>
#include <string>

namespace platform::detail {

inline bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace platform::detail
