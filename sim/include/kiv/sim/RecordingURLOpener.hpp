#pragma once
/// A URL opener for tests and tools: records what it was asked to open, opens nothing.

#include <set>
#include <string>
#include <vector>

#include "kiv/platform/runtime/Lock.hpp"
#include "kiv/platform/network/URLOpener.hpp"

namespace kiv::platform {

/// Applies the same scheme policy as the Linux opener (http and https) unless told otherwise.
/// Thread: any thread.
class KIV_EXPORT RecordingURLOpener final : public URLOpener {
public:
    RecordingURLOpener() = default;
    /// Accepts URLs of these schemes (lower case) instead of http and https.
    explicit RecordingURLOpener(std::set<std::string> schemes) : schemes_(std::move(schemes)) {}

    bool canOpenURL(std::string_view url) const override;
    bool open(std::string_view url) override;

    /// URLs handed on, in order.
    std::vector<std::string> opened() const;
    /// URLs refused, in order.
    std::vector<std::string> refused() const;

private:
    std::set<std::string> schemes_{"http", "https"};
    mutable Lock lock_;
    std::vector<std::string> opened_;
    std::vector<std::string> refused_;
};

}  // namespace kiv::platform
