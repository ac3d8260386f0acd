// What a Linux system tells about itself: the locale environment and uname.
#include "kiv/platform/SystemInfo.hpp"

#include <sys/utsname.h>

#include <cstdlib>

namespace kiv::platform {

std::vector<std::string> SystemInfo::preferredLanguages() {
    return preferredLanguages(std::getenv("LANGUAGE"), std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

std::string SystemInfo::operatingSystemNameVersion() {
    utsname info{};
    if (::uname(&info) != 0) return "Linux 0.0.0";
    return std::string(info.sysname) + " " + versionTriple(info.release);
}

}  // namespace kiv::platform
