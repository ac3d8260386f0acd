#include "kiv/platform/URLSession.hpp"

#include <mutex>

#include "platform/linux/CurlURLSession.hpp"

namespace kiv::platform {

std::shared_ptr<URLSession> URLSession::make(SessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                                             RuntimePtr runtime) {
    return std::make_shared<CurlURLSession>(std::move(configuration), std::move(delegate), std::move(runtime));
}

std::shared_ptr<URLSession> URLSession::shared() {
    auto runtime = Runtime::shared();
    static std::mutex mutex;
    // The session's delegate queue lives in its runtime: keep the runtime until the session is gone.
    static RuntimePtr madeOn;
    static std::shared_ptr<URLSession> session;
    // Released outside the lock, session first: its destructor joins a thread.
    RuntimePtr previousRuntime;
    std::shared_ptr<URLSession> previous;
    std::lock_guard guard(mutex);
    if (!session || madeOn != runtime) {
        previousRuntime = std::move(madeOn);
        previous = std::move(session);
        session = make(SessionConfiguration::defaultConfiguration(), nullptr, runtime);
        madeOn = std::move(runtime);
    }
    return session;
}

}  // namespace kiv::platform
