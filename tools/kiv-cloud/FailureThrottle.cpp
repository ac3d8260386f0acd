#include "FailureThrottle.hpp"

#include <algorithm>

namespace kiv::cloud {
namespace {

std::string clientKey(std::string_view clientId) { return "c:" + std::string(clientId); }
std::string peerKey(std::string_view peer) { return "p:" + std::string(peer); }

}  // namespace

FailureThrottle::FailureThrottle(Clock clock, Policy policy)
    : clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })), policy_(policy) {}

FailureThrottle::Entry* FailureThrottle::find(const std::string& key, Time now) {
    const auto it = entries_.find(key);
    if (it == entries_.end()) return nullptr;
    if (now >= it->second.barredUntil + policy_.window) {  // quiet long enough: forgotten
        entries_.erase(it);
        return nullptr;
    }
    return &it->second;
}

std::chrono::seconds FailureThrottle::retryAfter(std::string_view clientId, std::string_view peer) {
    const std::lock_guard lock(mutex_);
    const auto now = clock_();
    Time until{};
    if (const auto* byPeer = find(peerKey(peer), now)) {
        until = byPeer->barredUntil;
        if (const auto* byClient = find(clientKey(clientId), now)) until = std::max(until, byClient->barredUntil);
    }
    if (until <= now) return std::chrono::seconds(0);
    return std::chrono::ceil<std::chrono::seconds>(until - now);
}

void FailureThrottle::fail(const std::string& key, Time now) {
    auto* entry = find(key, now);
    if (!entry) {
        if (entries_.size() >= policy_.maxKeys) {
            std::erase_if(entries_, [&](const auto& e) { return now >= e.second.barredUntil + policy_.window; });
            if (entries_.size() >= policy_.maxKeys) entries_.clear();  // a flood of names; start over
        }
        entry = &entries_[key];
        entry->barredUntil = now;
    }
    ++entry->failures;
    if (entry->failures < policy_.freeFailures) {
        entry->barredUntil = std::max(entry->barredUntil, now);
        return;
    }
    const auto doublings = std::min<std::size_t>(entry->failures - policy_.freeFailures, 16);
    const auto backOff = std::min(std::chrono::seconds(1LL << doublings), policy_.maxBackOff);
    entry->barredUntil = now + backOff;
}

void FailureThrottle::failed(std::string_view clientId, std::string_view peer) {
    const std::lock_guard lock(mutex_);
    const auto now = clock_();
    fail(peerKey(peer), now);
    fail(clientKey(clientId), now);
}

void FailureThrottle::succeeded(std::string_view clientId) {
    const std::lock_guard lock(mutex_);
    entries_.erase(clientKey(clientId));
}

}  // namespace kiv::cloud
