#include "BoundedFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kiv::agent {
namespace {

std::string tooLarge(std::size_t limit) { return "is larger than " + std::to_string(limit) + " bytes"; }

/// Reads `fd` to its end, or to one byte past `limit`.
bool readUpTo(int fd, std::size_t limit, std::string& text, std::string& error) {
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            error = std::string("cannot read: ") + std::strerror(errno);
            return false;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > limit) {
            error = tooLarge(limit);
            return false;
        }
    }
}

}  // namespace

std::optional<BoundedFile> BoundedFile::read(const std::string& path, std::size_t limit, std::string& error) {
    // O_NONBLOCK: opening a FIFO without a writer returns at once instead of waiting for one.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = std::string("cannot read: ") + std::strerror(errno);
        return std::nullopt;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        error = std::string("cannot read: ") + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "is not a regular file";
        return std::nullopt;
    }
    if (static_cast<std::size_t>(info.st_size) > limit) {
        error = tooLarge(limit);
        return std::nullopt;
    }
    BoundedFile file;
    file.mode = info.st_mode & 07777;
    if (!readUpTo(fd, limit, file.text, error)) return std::nullopt;
    return file;
}

std::optional<BoundedFile> BoundedFile::readStandardInput(std::size_t limit, std::string& error) {
    BoundedFile file;
    if (!readUpTo(STDIN_FILENO, limit, file.text, error)) return std::nullopt;
    return file;
}

}  // namespace kiv::agent
