#pragma once
// Installs a fresh ManualRuntime as the process-wide runtime for one test.

#include <memory>

#include "kiv/platform/sim/ManualRuntime.hpp"

namespace kiv::test {

class ScopedManualRuntime {
public:
    ScopedManualRuntime() : runtime_(platform::ManualRuntime::make()) { platform::Runtime::setShared(runtime_); }
    ~ScopedManualRuntime() { platform::Runtime::setShared(nullptr); }
    ScopedManualRuntime(const ScopedManualRuntime&) = delete;
    ScopedManualRuntime& operator=(const ScopedManualRuntime&) = delete;

    platform::ManualRuntime& operator*() const { return *runtime_; }
    platform::ManualRuntime* operator->() const { return runtime_.get(); }
    const std::shared_ptr<platform::ManualRuntime>& ptr() const { return runtime_; }

private:
    std::shared_ptr<platform::ManualRuntime> runtime_;
};

}  // namespace kiv::test
