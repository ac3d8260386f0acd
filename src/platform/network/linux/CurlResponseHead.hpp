#pragma once
// The head of an answer as curl hands it over, one line at a time.

#include <optional>
#include <string_view>

#include "kiv/platform/network/HTTPURLResponse.hpp"

namespace kiv::platform {

/// Status line and header lines of the answer being read. Each status line starts the head
/// over: an interim answer or a followed redirection comes before the final one.
/// Thread: the session thread.
class CurlResponseHead {
public:
    /// What a line was to the head.
    enum class Line { status, field, end, other };

    /// Takes one line as curl hands it over, line ending included.
    Line read(std::string_view line);

    int status() const { return status_; }
    /// For an answer whose status curl knows without a status line handed over.
    void setStatus(int status) { status_ = status; }
    const HTTPHeaderFields& headers() const { return headers_; }
    /// The head as a response from `url`; its expected length only when the body comes as sent.
    HTTPURLResponse response(std::optional<URL> url) const;

private:
    int status_ = 0;
    HTTPHeaderFields headers_;
};

}  // namespace kiv::platform
