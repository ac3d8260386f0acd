#pragma once
// The delivery identifiers a device handled last, so that a resent copy is dropped.

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>

namespace kiv::platform {

/// Thread: one thread at a time (its owner's lock).
class DeliveryMemory {
public:
    static constexpr std::size_t capacity = 1024;

    /// True the first time `id` is seen among the last `capacity` ones (and remembers it); an
    /// empty identifier is always new and never remembered.
    bool firstTime(std::string_view id);

private:
    std::deque<std::string> order_;
    std::unordered_set<std::string> known_;
};

}  // namespace kiv::platform
