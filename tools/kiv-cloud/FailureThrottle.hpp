#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>
#include <unordered_map>

namespace kiv::cloud {

/// No registered client has a longer identifier: a longer one is answered as an unknown client
/// without being judged or counted, so a flood of huge names costs no memory.
inline constexpr std::size_t maxClientIdBytes = 256;

/// Whether clientId could name a client at all (see maxClientIdBytes).
bool plausibleClientId(std::string_view clientId);

/// Slows down the guessing of secrets. Failed attempts are counted per client identifier and per
/// peer address. The fifth failure of a key, and each further one until the key has been quiet
/// for 60 s after its last back-off, bars it for 1, 2, 4, ... seconds, at most 60. While its address is barred a
/// request is refused unjudged. A barred client identifier refuses only addresses that have
/// failed lately themselves, so the rightful client still gets in at once from its own address,
/// while guessing spread over many addresses gets one try per address and back-off.
/// Keys are kept as keyed 64-bit hashes (a secret random key, so no one can aim for a
/// collision), every entry has the same small size, and forgotten entries are swept at most once
/// a second on the calls themselves: memory stays bounded by maxKeys whatever the names.
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
    /// Counts a failure against the address, and against the identifier when it is plausible.
    void failed(std::string_view clientId, std::string_view peer);
    /// A right secret clears the identifier's count (not the address's).
    void succeeded(std::string_view clientId);
    /// Keys remembered now.
    std::size_t keys();

private:
    struct Entry {
        std::size_t failures = 0;
        std::chrono::steady_clock::time_point barredUntil{};
    };
    using Time = std::chrono::steady_clock::time_point;
    using Key = std::uint64_t;

    Key key(char kind, std::string_view name) const;
    Entry* find(Key key, Time now);
    void fail(Key key, Time now);
    void sweep(Time now, bool force = false);
    bool forgotten(const Entry& entry, Time now) const { return now >= entry.barredUntil + policy_.window; }

    Clock clock_;
    Policy policy_;
    std::array<std::uint64_t, 2> hashKey_{};
    std::mutex mutex_;
    std::unordered_map<Key, Entry> entries_;
    Time lastSweep_{};
};

}  // namespace kiv::cloud
