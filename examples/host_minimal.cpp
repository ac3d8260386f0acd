// The smallest host program: run the library's main queue and a timer on it.
#include <cstdio>

#include "kiv/kiv.hpp"

int main() {
    auto runtime = kiv::platform::AsioRuntime::make({.workerThreads = 1, .hostRunsMainLoop = true});
    kiv::platform::Runtime::setShared(runtime);

    std::printf("kiv %s\n", KIVVersionString);
    auto timer = kiv::DispatchTimer::scheduledDispatchTimer(0.01, runtime->mainQueue(),
                                                            [&](kiv::DispatchTimer&) { runtime->stopMainLoop(); });
    runtime->runMainLoop();
    kiv::platform::Runtime::setShared(nullptr);
    return 0;
}
