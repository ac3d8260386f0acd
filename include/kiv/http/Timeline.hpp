#pragma once
/// Timings of one request, in seconds on the absolute clock.

#include <string>

#include "kiv/export.hpp"

namespace kiv::http {

/// Thread: plain value, any thread.
struct KIV_EXPORT Timeline {
    double requestStartTime = 0;
    double initialResponseTime = 0;
    double requestCompletedTime = 0;
    double serializationCompletedTime = 0;

    double latency() const { return initialResponseTime - requestStartTime; }
    double requestDuration() const { return requestCompletedTime - requestStartTime; }
    double serializationDuration() const { return serializationCompletedTime - requestCompletedTime; }
    double totalDuration() const { return serializationCompletedTime - requestStartTime; }

    /// "Timeline: { \"Latency\": 0.250 secs, ... }"
    std::string description() const;
    /// The four times, then the four durations.
    std::string debugDescription() const;
};

}  // namespace kiv::http
