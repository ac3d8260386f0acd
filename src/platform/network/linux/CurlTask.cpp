#include "platform/network/linux/CurlTask.hpp"

#include "platform/network/linux/CurlURLSessionEngine.hpp"

namespace kiv::platform {

void CurlTask::resume() {
    {
        std::lock_guard g(mutex_);
        if (state_ != State::suspended) return;
        state_ = State::running;
    }
    auto engine = engine_.lock();
    if (engine && engine->submit(CurlURLSession::Engine::Command::add, self())) return;
    // The session is gone or invalidated: the task ends at once.
    {
        std::lock_guard g(mutex_);
        state_ = State::suspended;
    }
    if (engine) {
        engine->complete(self(), std::nullopt, std::nullopt, std::nullopt,
                         URLError{URLErrorCode::cancelled, request_.description(), "the session was invalidated"});
    }
}

void CurlTask::cancel() {
    auto engine = engine_.lock();
    State previous;
    {
        std::lock_guard g(mutex_);
        previous = state_;
        if (state_ == State::running) state_ = State::canceling;
    }
    if (!engine || previous == State::completed || previous == State::canceling) return;
    if (previous == State::running && engine->submit(CurlURLSession::Engine::Command::cancel, self())) return;
    engine->complete(self(), std::nullopt, std::nullopt, std::nullopt,
                     URLError{URLErrorCode::cancelled, request_.description(), ""});
}

}  // namespace kiv::platform
