#pragma once
/// Task delegate of a data request: collects the body and counts progress.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "kiv/http/TaskDelegate.hpp"
#include "kiv/platform/runtime/Queue.hpp"

namespace kiv::http {

/// Bytes received of bytes expected (-1 when unknown).
struct KIV_EXPORT Progress {
    std::int64_t totalUnitCount = 0;
    std::int64_t completedUnitCount = 0;
};

/// Thread: events arrive on the session's delegate queue; accessors are safe from any thread.
class KIV_EXPORT DataTaskDelegate final : public TaskDelegate {
public:
    using TaskDelegate::TaskDelegate;

    /// The accumulated body, or none when a dataStream callback takes the chunks.
    std::optional<std::string> data() const override;
    Progress progress() const;
    std::int64_t totalBytesReceived() const;
    std::optional<std::int64_t> expectedContentLength() const;

    /// Takes each chunk instead of accumulation (called on the delegate queue; chunks are large,
    /// often the whole body at once).
    std::function<void(const std::string&)> dataStream;
    /// Called on `progressQueue` after each chunk.
    std::function<void(const Progress&)> progressHandler;
    platform::QueuePtr progressQueue;
    /// Override callbacks; set them before the task runs.
    std::function<void(platform::URLSessionTask&, const platform::HTTPURLResponse&)> dataTaskDidReceiveResponse;
    std::function<void(platform::URLSessionTask&, const std::string&)> dataTaskDidReceiveData;

    void didReceiveResponse(platform::URLSessionTask& task, const platform::HTTPURLResponse& response) override;
    void didReceiveData(platform::URLSessionTask& task, const std::string& chunk) override;

protected:
    void reset() override;

private:
    Progress progress_;
    std::int64_t totalBytesReceived_ = 0;
    std::string mutableData_;
    std::optional<std::int64_t> expectedContentLength_;
};

}  // namespace kiv::http
