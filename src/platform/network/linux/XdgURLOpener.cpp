#include "kiv/platform/network/linux/XdgURLOpener.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>

#include "kiv/platform/network/URL.hpp"

extern char** environ;

namespace kiv::platform {

XdgURLOpener::XdgURLOpener(std::string program) : program_(std::move(program)) {}

XdgURLOpener::~XdgURLOpener() {
    // Children still running are left to finish on their own; they are not waited for.
    reapFinished();
}

bool XdgURLOpener::canOpenURL(std::string_view url) const {
    const auto parsed = URL::make(url);
    return parsed && parsed->isWebURL();
}

bool XdgURLOpener::open(std::string_view url) {
    if (!canOpenURL(url)) return false;
    reapFinished();
    std::string program = program_;
    std::string argument(url);
    // "--" is not understood by xdg-open; the URL cannot start with "-" since it starts with a scheme.
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return false;
    std::lock_guard guard(lock_);
    children_.push_back(pid);
    return true;
}

void XdgURLOpener::reapFinished() {
    std::lock_guard guard(lock_);
    std::erase_if(children_, [](int pid) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        return done == pid || done < 0;
    });
}

}  // namespace kiv::platform
