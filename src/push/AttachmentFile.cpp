#include "push/AttachmentFile.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include "kiv/platform/network/URL.hpp"
#include "kiv/support/Hex.hpp"
#include "kiv/support/UUID.hpp"

namespace kiv::push {

namespace {

// Room for a "-99" suffix within the usual 255-byte name limit.
constexpr std::size_t maxNameBytes = 200;

bool isUnwanted(unsigned char c) { return c == '/' || c == '\\' || c < 0x20 || c == 0x7f; }

// Cuts a UTF-8 text to at most `limit` bytes without splitting a character.
std::string cutUtf8(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return std::string(text);
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end));
}

std::pair<std::string, std::string> splitExtension(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {name, ""};
    return {name.substr(0, dot), name.substr(dot)};
}

// Eight hex digits: enough to make a clash between names of one directory unlikely.
std::string randomHex() { return hexadecimal(std::span(UUID::random().bytes()).first(4)); }

struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

bool copyInto(const std::filesystem::path& source, int fd) {
    std::ifstream in(source, std::ios::binary);
    if (!in) return false;
    std::array<char, 64 * 1024> buffer{};
    while (in) {
        in.read(buffer.data(), buffer.size());
        auto left = static_cast<std::size_t>(in.gcount());
        const char* at = buffer.data();
        while (left > 0) {
            const ssize_t written = ::write(fd, at, left);
            if (written < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            at += written;
            left -= static_cast<std::size_t>(written);
        }
    }
    return !in.bad();
}

}  // namespace

std::string attachmentFileName(std::string_view imageUrl) {
    const auto parsed = platform::URL::make(imageUrl);
    if (!parsed) return {};
    std::string name;
    for (unsigned char c : platform::URL::percentDecoded(parsed->lastPathComponent()))
        if (!isUnwanted(c)) name.push_back(static_cast<char>(c));
    if (name.size() > maxNameBytes) {
        auto [stem, extension] = splitExtension(name);
        if (extension.size() > 16) extension.clear();
        name = cutUtf8(stem, maxNameBytes - extension.size()) + extension;
    }
    // Checked after the cut, which can leave one of them (".." followed by a long extension).
    if (name == "." || name == "..") return {};
    return name;
}

std::string attachmentExtension(std::string_view imageUrl) {
    const auto parsed = platform::URL::make(imageUrl);
    if (!parsed) return {};
    const std::string_view last = parsed->lastPathComponent();
    const auto dot = last.rfind('.');
    if (dot == std::string::npos) return {};
    const std::string extension(last.substr(dot + 1));
    if (extension.empty() || extension.size() > 10) return {};
    for (unsigned char c : extension)
        if (!std::isalnum(c)) return {};
    return extension;
}

std::optional<std::filesystem::path> placeAttachmentFile(const std::filesystem::path& downloaded,
                                                         const std::filesystem::path& directory,
                                                         std::string_view imageUrl) {
    const std::string wanted = attachmentFileName(imageUrl);
    const std::string urlExtension = attachmentExtension(imageUrl);
    auto [stem, extension] = splitExtension(wanted);

    // The wanted name and its variants "-1" to "-99", then generated names: a directory that
    // holds all the variants (left over, or planted) must not cost the image.
    constexpr int variants = 100;
    constexpr int generated = 16;
    for (int attempt = wanted.empty() ? variants : 0; attempt < variants + generated; ++attempt) {
        std::string name;
        if (attempt >= variants) {
            name = "attachment-" + randomHex() + (urlExtension.empty() ? "" : "." + urlExtension);
        } else {
            name = attempt == 0 ? wanted : stem + "-" + std::to_string(attempt) + extension;
        }
        const auto target = directory / name;
        // Claim the name first: O_EXCL never reuses or follows an existing entry (a symlink
        // planted there cannot redirect the write), and the rename then replaces our own claim.
        FileDescriptor claim{::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
        if (claim.fd < 0) {
            if (errno == EEXIST) continue;
            return std::nullopt;
        }
        if (std::rename(downloaded.c_str(), target.c_str()) == 0) return target;
        // Another file system: copy into the claimed file instead.
        if (copyInto(downloaded, claim.fd)) {
            std::error_code ignored;
            std::filesystem::remove(downloaded, ignored);
            return target;
        }
        ::unlink(target.c_str());
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace kiv::push
