#include "platform/push/linux/SmallFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kiv::platform {

std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t maxBytes, std::string* why) {
    const auto refuse = [&](const std::string& reason) -> std::optional<std::string> {
        if (why) *why = path.string() + ": " + reason;
        return std::nullopt;
    };
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        auto result = refuse(std::strerror(error));
        errno = error;
        return result;
    }
    errno = 0;  // ENOENT from here on would be stale
    std::string text;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return refuse("not a regular file");
    }
    text.resize(maxBytes + 1);
    std::size_t size = 0;
    while (size < text.size()) {
        const ssize_t n = ::read(fd, text.data() + size, text.size() - size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return refuse(std::strerror(error));
        }
        if (n == 0) break;
        size += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (size > maxBytes) return refuse("longer than " + std::to_string(maxBytes) + " bytes");
    text.resize(size);
    return text;
}

}  // namespace kiv::platform
