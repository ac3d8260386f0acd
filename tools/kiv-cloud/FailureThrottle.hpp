#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kiv::cloud {

/// Slows down the guessing of secrets. Failed attempts are counted per client identifier and per
/// peer address. The fifth failure of a key, and each further one until the key has been quiet
/// for 60 s after its last back-off, bars it for 1, 2, 4, ... seconds, at most 60. While its address is barred a
/// request is refused unjudged. A barred client identifier refuses only addresses that have
/// failed lately themselves, so the rightful client still gets in at once from its own address,
/// while guessing spread over many addresses gets one try per address and back-off.
/// Thread: any.
class FailureThrottle {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    struct Policy {
        std::size_t freeFailures = 5;
        std::chrono::seconds window{60};
        std::chrono::seconds maxBackOff{60};
        std::size_t maxKeys = 100000;  ///< bounds the memory an attacker's many names can take
    };

    explicit FailureThrottle(Clock clock) : FailureThrottle(std::move(clock), Policy{}) {}
    FailureThrottle(Clock clock, Policy policy);

    /// Zero when an attempt of clientId from peer may be judged now, else how long to wait.
    std::chrono::seconds retryAfter(std::string_view clientId, std::string_view peer);
    void failed(std::string_view clientId, std::string_view peer);
    /// A right secret clears the identifier's count (not the address's).
    void succeeded(std::string_view clientId);

private:
    struct Entry {
        std::size_t failures = 0;
        std::chrono::steady_clock::time_point barredUntil{};
    };
    using Time = std::chrono::steady_clock::time_point;

    Entry* find(const std::string& key, Time now);
    void fail(const std::string& key, Time now);

    Clock clock_;
    Policy policy_;
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace kiv::cloud
