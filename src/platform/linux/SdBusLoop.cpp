#include "platform/linux/SdBusLoop.hpp"

#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>

namespace kiv::platform {

struct SdBusLoop::State {
    int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::atomic<bool> stopping{false};
    std::mutex joinMutex;  // the owner and the exit handler may stop at once
    std::thread thread;

    ~State() {
        if (wakeFd >= 0) ::close(wakeFd);
    }

    void wake() const {
        const std::uint64_t one = 1;
        if (wakeFd >= 0) [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
    }

    void stop() {
        stopping = true;
        wake();
        std::lock_guard guard(joinMutex);
        if (!thread.joinable()) return;
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();  // the body itself made the process exit: it returns on its own
        else
            thread.join();
    }
};

SdBusLoop::SdBusLoop() : state_(std::make_shared<State>()) {}

SdBusLoop::~SdBusLoop() {
    exitStop_.reset();
    stop();
}

bool SdBusLoop::start(std::function<void()> body, std::string& error) {
    if (state_->wakeFd < 0) {
        error = "eventfd failed";
        return false;
    }
    // Enrolled first, so that no exit falls between the thread's start and its enrolment.
    exitStop_ = ExitStop::enroll([weak = std::weak_ptr<State>(state_)] {
        if (const auto state = weak.lock()) state->stop();
    });
    try {
        std::lock_guard guard(state_->joinMutex);
        state_->thread = std::thread(std::move(body));
    } catch (const std::system_error& e) {
        exitStop_.reset();
        error = std::string("cannot start a thread: ") + e.what();
        return false;
    }
    return true;
}

void SdBusLoop::wake() const { state_->wake(); }

bool SdBusLoop::stopping() const { return state_->stopping; }

bool SdBusLoop::wait(sdbus::IConnection& connection) const {
    if (state_->stopping) return false;
    const auto poll = connection.getEventLoopPollData();
    pollfd fds[2] = {{poll.fd, poll.events, 0}, {state_->wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, poll.getPollTimeout()) < 0 && errno != EINTR)
        throw std::system_error(errno, std::generic_category());
    if (fds[1].revents & POLLIN) {
        std::uint64_t count = 0;
        [[maybe_unused]] auto n = ::read(state_->wakeFd, &count, sizeof count);
    }
    return !state_->stopping;
}

void SdBusLoop::stop() { state_->stop(); }

}  // namespace kiv::platform
