#include "platform/push/linux/DeviceTokenFile.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kiv/support/Hex.hpp"
#include "platform/push/linux/SmallFile.hpp"

namespace kiv::platform {
namespace {

namespace fs = std::filesystem;

// An environment variable that names an absolute directory, or empty.
fs::path absoluteFrom(const char* name) {
    const char* value = std::getenv(name);
    if (!value || value[0] != '/') return {};
    return fs::path(value);
}

std::nullopt_t refuse(std::string* why, std::string reason) {
    if (why) *why = std::move(reason);
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> parse(const std::string& text, const fs::path& path, std::string* why) {
    std::string_view digits(text);
    if (digits.ends_with('\n')) digits.remove_suffix(1);
    auto token = digits.size() == 2 * DeviceTokenFile::tokenBytes ? bytesFromHexadecimal(digits) : std::nullopt;
    if (!token)
        return refuse(why, path.string() + " does not hold a device token (32 hex digits); remove it to register "
                                           "the device anew");
    return token;
}

// Writes a new token beside the final name and links it there, so that a reader never sees
// half a file and a token made meanwhile by another process wins over ours.
std::optional<std::vector<std::uint8_t>> create(const fs::path& path, std::string* why) {
    std::vector<std::uint8_t> token(DeviceTokenFile::tokenBytes);
    if (::getrandom(token.data(), token.size(), 0) != static_cast<ssize_t>(token.size()))
        return refuse(why, std::string("no random bytes for a device token: ") + std::strerror(errno));
    const std::string text = hexadecimal(token, HexCase::upper) + "\n";
    std::string temporary = (path.parent_path() / ".push-token.XXXXXX").string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0) return refuse(why, "cannot write in " + path.parent_path().string() + ": " + std::strerror(errno));
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    const int writeError = errno;
    ::close(fd);
    const bool linked = written && ::link(temporary.c_str(), path.c_str()) == 0;
    const int linkError = errno;
    ::unlink(temporary.c_str());
    if (!written) return refuse(why, "cannot write " + temporary + ": " + std::strerror(writeError));
    if (!linked && linkError != EEXIST) return refuse(why, "cannot make " + path.string() + ": " + std::strerror(linkError));
    if (linked) return token;
    auto existing = readSmallFile(path, 64, why);
    return existing ? parse(*existing, path, why) : std::nullopt;
}

}  // namespace

std::optional<fs::path> DeviceTokenFile::directory(const std::string& configured, std::string* why) {
    if (!configured.empty()) return fs::path(configured);
    if (const char* systemd = std::getenv("STATE_DIRECTORY"); systemd && systemd[0] == '/') {
        const std::string_view all(systemd);
        return fs::path(std::string(all.substr(0, all.find(':'))));
    }
    if (auto xdg = absoluteFrom("XDG_STATE_HOME"); !xdg.empty()) return xdg / "kiv";
    if (auto home = absoluteFrom("HOME"); !home.empty()) return home / ".local/state/kiv";
    return refuse(why, "no state directory: none configured and neither STATE_DIRECTORY, XDG_STATE_HOME nor HOME set");
}

std::optional<std::vector<std::uint8_t>> DeviceTokenFile::loadOrCreate(const fs::path& directory, std::string* why) {
    std::error_code ec;
    if (!fs::exists(directory, ec)) {
        fs::create_directories(directory, ec);
        if (!ec) fs::permissions(directory, fs::perms::owner_all, fs::perm_options::replace, ec);
        if (ec) return refuse(why, "cannot make " + directory.string() + ": " + ec.message());
    }
    const fs::path path = directory / fileName;
    std::string problem;
    if (auto text = readSmallFile(path, 64, &problem)) return parse(*text, path, why);
    if (errno != ENOENT) return refuse(why, "cannot read the device token: " + problem);
    return create(path, why);
}

}  // namespace kiv::platform
