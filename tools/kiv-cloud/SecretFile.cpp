#include "SecretFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kiv::cloud {
namespace {

constexpr std::size_t kMaxLineFileBytes = 4096;
constexpr std::string_view kBlanks = " \t\r";

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

std::optional<BoundedText> readBoundedFile(const std::string& path, std::size_t limit, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    struct stat info {};
    std::string text(limit + 1, '\0');
    ssize_t got = -1;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "not a regular file";
    } else if ((got = ::read(fd, text.data(), text.size())) < 0) {
        error = std::strerror(errno);
    } else if (static_cast<std::size_t>(got) > limit) {
        error = "longer than " + std::to_string(limit) + " bytes";
        got = -1;
    }
    ::close(fd);
    if (got < 0) return std::nullopt;
    text.resize(static_cast<std::size_t>(got));
    return BoundedText{std::move(text), static_cast<unsigned>(info.st_mode & 07777)};
}

std::optional<std::string> readFirstLine(const std::string& path, bool secret, std::string& error) {
    auto file = readBoundedFile(path, kMaxLineFileBytes, error);
    if (!file) return std::nullopt;
    if (secret && !(error = secretModeProblem(path, file->mode)).empty()) return std::nullopt;
    auto& text = file->text;
    text.resize(std::min(text.find('\n'), text.size()));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return std::move(text);
}

std::string secretModeProblem(const std::string& path, unsigned mode) {
    const bool others = (mode & S_IRWXO) != 0;
    if (!others && !(mode & S_IWGRP)) return {};
    char bits[8];
    std::snprintf(bits, sizeof bits, "%04o", mode & 07777);
    return std::string(others ? "open to others" : "writable by its group") + " (mode " + bits + "); run chmod 600 " +
           path + " (or chmod 640 to let its group read it)";
}

std::optional<std::vector<ClientCredential>> parseClientLines(std::string_view text, std::string& error) {
    std::vector<ClientCredential> clients;
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const auto end = std::min(text.find('\n'), text.size());
        const auto line = trimmed(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        if (line.empty() || line.front() == '#') continue;
        auto client = parseClientCredential(line);
        if (!client || client->clientId.empty() || client->secret.empty()) {
            error = std::to_string(number) + ": expected ID:SECRET";
            return std::nullopt;
        }
        clients.push_back(std::move(*client));
    }
    return clients;
}

}  // namespace kiv::cloud
