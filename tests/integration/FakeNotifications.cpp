#include "FakeNotifications.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "ChildProcess.hpp"

namespace kiv::test {

using namespace process;
using Clock = std::chrono::steady_clock;

std::unique_ptr<FakeNotifications> FakeNotifications::start(bool ownName) {
    std::unique_ptr<FakeNotifications> fake(new FakeNotifications);
    if (!fake->launch(ownName)) return nullptr;
    return fake;
}

bool FakeNotifications::launch(bool ownName) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kiv-notify-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        ADD_FAILURE() << "cannot create a temporary directory: " << std::strerror(errno);
        return false;
    }
    dir_ = pattern;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    const auto address = startPrivateBus(dir_, deadline, bus_, busOut_, busBuffer_);
    if (!address) {
        ADD_FAILURE() << "the private dbus-daemon did not start" << logs();
        return false;
    }
    address_ = *address;
    int in[2];
    int out[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "socketpair / pipe: " << std::strerror(errno);
        return false;
    }
    std::vector<std::string> argv{"/usr/bin/python3", KIV_FAKE_NOTIFICATIONS_PATH};
    if (!ownName) argv.emplace_back("--no-name");
    fake_ = spawn(argv, childEnvironment(address_), in[1], out[1], (dir_ / "fake.log").string());
    fakeIn_ = in[0];
    fakeOut_ = out[0];
    ::close(in[1]);
    ::close(out[1]);
    const auto ready = readLine(fakeOut_, fakeBuffer_, deadline);
    if (!ready || nlohmann::json::parse(*ready, nullptr, false) != nlohmann::json{{"ready", true}}) {
        ADD_FAILURE() << "the fake notification server did not get ready" << logs();
        return false;
    }
    if (const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS")) previousAddress_ = previous;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    environmentSet_ = true;
    return true;
}

FakeNotifications::~FakeNotifications() {
    if (environmentSet_) {
        if (previousAddress_)
            ::setenv("DBUS_SESSION_BUS_ADDRESS", previousAddress_->c_str(), 1);
        else
            ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    closeFd(fakeIn_);
    stop(fake_);
    stop(bus_);
    closeFd(fakeOut_);
    closeFd(busOut_);
    if (environmentSet_ && ::testing::Test::HasFailure()) std::cerr << logs() << "\n";
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

std::string FakeNotifications::logs() const {
    return "\n--- fake notification server (stderr) ---\n" + tail(dir_ / "fake.log") +
           "--- dbus-daemon (stderr) ---\n" + tail(dir_ / "bus.log");
}

nlohmann::json FakeNotifications::command(const nlohmann::json& command, std::chrono::milliseconds timeout) {
    const auto text = command.dump() + "\n";
    const long seq = ++seq_;
    for (std::size_t sent = 0; sent < text.size();) {
        const auto n = ::send(fakeIn_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ADD_FAILURE() << "cannot send " << command.dump() << ": " << std::strerror(errno) << logs();
            return {{"error", "not sent"}};
        }
        sent += static_cast<std::size_t>(n);
    }
    const auto deadline = Clock::now() + timeout;
    while (const auto line = readLine(fakeOut_, fakeBuffer_, deadline)) {
        const auto reply = nlohmann::json::parse(*line, nullptr, false);
        if (reply.is_object() && (reply.value("ok", -1L) == seq || reply.value("seq", -1L) == seq)) return reply;
    }
    ADD_FAILURE() << "the fake notification server did not answer " << command.dump() << logs();
    return {{"error", "no reply"}};
}

bool FakeNotifications::expectOk(const nlohmann::json& command) {
    const auto reply = this->command(command);
    if (reply.contains("ok")) return true;
    ADD_FAILURE() << command.dump() << " failed: " << reply.dump();
    return false;
}

nlohmann::json FakeNotifications::calls(std::size_t count) {
    if (count > 0 && !expectOk({{"cmd", "wait-calls"}, {"count", count}, {"timeout", 5}}))
        return nlohmann::json::array();
    return command({{"cmd", "calls"}}).value("calls", nlohmann::json::array());
}

}  // namespace kiv::test
