#include "FailureThrottle.hpp"

#include <algorithm>
#include <random>

namespace kiv::cloud {
namespace {

std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

void sipRounds(std::array<std::uint64_t, 4>& v, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        v[0] += v[1];
        v[1] = rotl(v[1], 13) ^ v[0];
        v[0] = rotl(v[0], 32);
        v[2] += v[3];
        v[3] = rotl(v[3], 16) ^ v[2];
        v[0] += v[3];
        v[3] = rotl(v[3], 21) ^ v[0];
        v[2] += v[1];
        v[1] = rotl(v[1], 17) ^ v[2];
        v[2] = rotl(v[2], 32);
    }
}

// SipHash-2-4 of kind followed by name: a keyed hash meant for exactly this, tables whose keys
// an attacker chooses.
std::uint64_t sipHash(const std::array<std::uint64_t, 2>& key, char kind, std::string_view name) {
    std::array<std::uint64_t, 4> v = {key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL,
                                      key[0] ^ 0x6c7967656e657261ULL, key[1] ^ 0x7465646279746573ULL};
    const std::size_t length = name.size() + 1;
    auto byteAt = [&](std::size_t i) {
        return static_cast<std::uint64_t>(static_cast<unsigned char>(i == 0 ? kind : name[i - 1]));
    };
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < length; ++i) {
        word |= byteAt(i) << (8 * (i % 8));
        if (i % 8 == 7) {
            v[3] ^= word;
            sipRounds(v, 2);
            v[0] ^= word;
            word = 0;
        }
    }
    word |= static_cast<std::uint64_t>(length & 0xff) << 56;
    v[3] ^= word;
    sipRounds(v, 2);
    v[0] ^= word;
    v[2] ^= 0xff;
    sipRounds(v, 4);
    return v[0] ^ v[1] ^ v[2] ^ v[3];
}

}  // namespace

bool plausibleClientId(std::string_view clientId) { return clientId.size() <= maxClientIdBytes; }

FailureThrottle::FailureThrottle(Clock clock, Policy policy)
    : clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })), policy_(policy) {
    std::random_device source;
    for (auto& word : hashKey_) word = (static_cast<std::uint64_t>(source()) << 32) ^ source();
}

FailureThrottle::Key FailureThrottle::key(char kind, std::string_view name) const {
    return sipHash(hashKey_, kind, name);
}

FailureThrottle::Entry* FailureThrottle::find(Key key, Time now) {
    const auto it = entries_.find(key);
    if (it == entries_.end()) return nullptr;
    if (forgotten(it->second, now)) {  // quiet long enough
        entries_.erase(it);
        return nullptr;
    }
    return &it->second;
}

// Forgets quiet entries, at most once a second so that a busy service pays for it rarely.
void FailureThrottle::sweep(Time now, bool force) {
    if (!force && now < lastSweep_ + std::chrono::seconds(1) && now >= lastSweep_) return;
    lastSweep_ = now;
    std::erase_if(entries_, [&](const auto& e) { return forgotten(e.second, now); });
}

std::chrono::seconds FailureThrottle::retryAfter(std::string_view clientId, std::string_view peer) {
    const std::lock_guard lock(mutex_);
    const auto now = clock_();
    sweep(now);
    Time until{};
    if (const auto* byPeer = find(key('p', peer), now)) {
        until = byPeer->barredUntil;
        const auto* byClient = plausibleClientId(clientId) ? find(key('c', clientId), now) : nullptr;
        if (byClient) until = std::max(until, byClient->barredUntil);
    }
    if (until <= now) return std::chrono::seconds(0);
    return std::chrono::ceil<std::chrono::seconds>(until - now);
}

void FailureThrottle::fail(Key key, Time now) {
    auto* entry = find(key, now);
    if (!entry) {
        if (entries_.size() >= policy_.maxKeys) {
            sweep(now, true);
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
    sweep(now);
    fail(key('p', peer), now);
    if (plausibleClientId(clientId)) fail(key('c', clientId), now);
}

void FailureThrottle::succeeded(std::string_view clientId) {
    const std::lock_guard lock(mutex_);
    if (plausibleClientId(clientId)) entries_.erase(key('c', clientId));
}

std::size_t FailureThrottle::keys() {
    const std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace kiv::cloud
