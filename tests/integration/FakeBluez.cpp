#include "FakeBluez.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "ChildProcess.hpp"

namespace kiv::test {
namespace {

using namespace process;

using Clock = std::chrono::steady_clock;
// Starting the bus and the fake takes well under a second; a loaded machine may take longer.
constexpr auto kStartTimeout = std::chrono::seconds(5);

}  // namespace

std::unique_ptr<FakeBluez> FakeBluez::start(Options options) {
    std::unique_ptr<FakeBluez> fake(new FakeBluez);
    if (!fake->launch(options)) return nullptr;
    return fake;
}

bool FakeBluez::launch(const Options& options) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kiv-bluez-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        ADD_FAILURE() << "cannot create a temporary directory: " << std::strerror(errno);
        return false;
    }
    dir_ = pattern;
    const auto deadline = Clock::now() + kStartTimeout;

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
    std::vector<std::string> argv{"/usr/bin/python3", KIV_FAKE_BLUEZ_PATH};
    if (!options.ownName) argv.emplace_back("--no-name");
    fake_ = spawn(argv, childEnvironment(address_), in[1], out[1], (dir_ / "fake.log").string());
    fakeIn_ = in[0];
    fakeOut_ = out[0];
    ::close(in[1]);
    ::close(out[1]);
    const auto ready = readLine(fakeOut_, fakeBuffer_, deadline);
    if (!ready || nlohmann::json::parse(*ready, nullptr, false) != nlohmann::json{{"ready", true}}) {
        ADD_FAILURE() << "the fake bluetoothd did not get ready (it ended, or took over " << kStartTimeout.count()
                      << " s)" << (ready ? " (it said: " + *ready + ")" : std::string()) << logs();
        return false;
    }

    if (const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) previousAddress_ = previous;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    environmentSet_ = true;
    return true;
}

FakeBluez::~FakeBluez() {
    if (environmentSet_) {
        if (previousAddress_)
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", previousAddress_->c_str(), 1);
        else
            ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    closeFd(fakeIn_);  // the fake ends on end of input, and on the SIGTERM that follows
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

std::string FakeBluez::logs() const {
    return "\n--- fake bluetoothd (stderr) ---\n" + tail(dir_ / "fake.log") + "--- dbus-daemon (stderr) ---\n" +
           tail(dir_ / "bus.log");
}

bool FakeBluez::post(const nlohmann::json& command) {
    const auto text = command.dump() + "\n";
    ++seq_;
    for (std::size_t sent = 0; sent < text.size();) {
        const auto n = ::send(fakeIn_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ADD_FAILURE() << "cannot send " << command.dump() << " to the fake bluetoothd: " << std::strerror(errno)
                          << logs();
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

nlohmann::json FakeBluez::command(const nlohmann::json& command, std::chrono::milliseconds timeout) {
    if (!post(command)) return {{"error", "not sent"}};
    const long seq = seq_;
    const auto deadline = Clock::now() + timeout;
    while (const auto line = readLine(fakeOut_, fakeBuffer_, deadline)) {
        const auto reply = nlohmann::json::parse(*line, nullptr, false);
        // Late replies to commands that timed out before are skipped.
        if (reply.is_object() && (reply.value("ok", -1L) == seq || reply.value("seq", -1L) == seq)) return reply;
    }
    ADD_FAILURE() << "the fake bluetoothd did not answer " << command.dump() << " within " << timeout.count() << " ms"
                  << logs();
    return {{"error", "no reply"}};
}

bool FakeBluez::expectOk(const nlohmann::json& command) {
    const auto reply = this->command(command);
    if (reply.contains("ok")) return true;
    ADD_FAILURE() << command.dump() << " failed: " << reply.dump();
    return false;
}

bool FakeBluez::addAdapter(const std::string& name, bool powered) {
    return expectOk({{"cmd", "adapter"}, {"adapter", name}, {"powered", powered}});
}

bool FakeBluez::power(bool on, const std::string& adapter) {
    return expectOk({{"cmd", "power"}, {"adapter", adapter}, {"on", on}});
}

bool FakeBluez::advertise(const nlohmann::json& packet) {
    auto cmd = packet;
    cmd["cmd"] = "advertise";
    const auto reply = command(cmd);
    if (!reply.contains("ok")) {
        ADD_FAILURE() << cmd.dump() << " failed: " << reply.dump();
        return false;
    }
    return !reply.value("dropped", false);
}

nlohmann::json FakeBluez::status() {
    auto reply = command({{"cmd", "status"}});
    if (!reply.contains("status")) {
        ADD_FAILURE() << "status failed: " << reply.dump();
        return nlohmann::json::object();
    }
    return reply["status"];
}

bool FakeBluez::waitForStatus(const nlohmann::json& subset, std::chrono::milliseconds timeout) {
    const auto reply = command({{"cmd", "wait"}, {"status", subset}, {"timeout", timeout.count() / 1000.0}},
                               timeout + std::chrono::seconds(5));
    if (reply.contains("ok")) return true;
    ADD_FAILURE() << reply.value("error", reply.dump());
    return false;
}

}  // namespace kiv::test
