#include "FakeDBusService.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "ChildProcess.hpp"

namespace kiv::test {
namespace {

using namespace process;
// Starting the bus and the fake takes well under a second; a loaded machine may take longer.
constexpr auto kStartTimeout = std::chrono::seconds(5);

}  // namespace

bool FakeDBusService::launch(const Setup& setup) {
    setup_ = setup;
    std::string pattern = (std::filesystem::temp_directory_path() / "kiv-fake-XXXXXX").string();
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
    std::vector<std::string> argv{"/usr/bin/python3", setup.script};
    argv.insert(argv.end(), setup.arguments.begin(), setup.arguments.end());
    fake_ = spawn(argv, childEnvironment(address_), in[1], out[1], (dir_ / "fake.log").string());
    fakeIn_ = in[0];
    fakeOut_ = out[0];
    ::close(in[1]);
    ::close(out[1]);
    const auto ready = readLine(fakeOut_, fakeBuffer_, deadline);
    if (!ready || nlohmann::json::parse(*ready, nullptr, false) != nlohmann::json{{"ready", true}}) {
        ADD_FAILURE() << "the " << setup.title << " did not get ready (it ended, or took over "
                      << kStartTimeout.count() << " s)" << (ready ? " (it said: " + *ready + ")" : std::string())
                      << logs();
        return false;
    }
    if (const char* previous = std::getenv(setup.busVariable.c_str())) previousAddress_ = previous;
    ::setenv(setup.busVariable.c_str(), address_.c_str(), 1);
    environmentSet_ = true;
    return true;
}

FakeDBusService::~FakeDBusService() {
    if (environmentSet_) {
        if (previousAddress_)
            ::setenv(setup_.busVariable.c_str(), previousAddress_->c_str(), 1);
        else
            ::unsetenv(setup_.busVariable.c_str());
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

std::string FakeDBusService::logs() const {
    return "\n--- " + setup_.title + " (stderr) ---\n" + tail(dir_ / "fake.log") + "--- dbus-daemon (stderr) ---\n" +
           tail(dir_ / "bus.log");
}

bool FakeDBusService::post(const nlohmann::json& command) {
    const auto text = command.dump() + "\n";
    ++seq_;
    if (raw::writeAll(fakeIn_, text) == text.size()) return true;
    ADD_FAILURE() << "cannot send " << command.dump() << " to the " << setup_.title << ": " << std::strerror(errno)
                  << logs();
    return false;
}

nlohmann::json FakeDBusService::command(const nlohmann::json& command, std::chrono::milliseconds timeout) {
    if (!post(command)) return {{"error", "not sent"}};
    const long seq = seq_;
    const auto deadline = Clock::now() + timeout;
    while (const auto line = readLine(fakeOut_, fakeBuffer_, deadline)) {
        const auto reply = nlohmann::json::parse(*line, nullptr, false);
        // Late replies to commands that timed out before are skipped.
        if (reply.is_object() && (reply.value("ok", -1L) == seq || reply.value("seq", -1L) == seq)) return reply;
    }
    ADD_FAILURE() << "the " << setup_.title << " did not answer " << command.dump() << " within " << timeout.count()
                  << " ms" << logs();
    return {{"error", "no reply"}};
}

bool FakeDBusService::expectOk(const nlohmann::json& command, std::chrono::milliseconds timeout) {
    lastReply_ = this->command(command, timeout);
    if (lastReply_.contains("ok")) return true;
    ADD_FAILURE() << command.dump() << " failed: " << lastReply_.value("error", lastReply_.dump());
    return false;
}

}  // namespace kiv::test
