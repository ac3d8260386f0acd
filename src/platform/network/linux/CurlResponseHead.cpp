#include "platform/network/linux/CurlResponseHead.hpp"

#include <cstdlib>
#include <string>
#include <utility>

namespace kiv::platform {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

}  // namespace

CurlResponseHead::Line CurlResponseHead::read(std::string_view line) {
    if (line.starts_with("HTTP/")) {
        status_ = 0;
        headers_ = {};
        const auto space = line.find(' ');
        if (space != std::string_view::npos) status_ = std::atoi(std::string(line.substr(space + 1, 3)).c_str());
        return Line::status;
    }
    if (line == "\r\n" || line == "\n") return Line::end;
    if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        headers_.set(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
        return Line::field;
    }
    return Line::other;
}

HTTPURLResponse CurlResponseHead::response(std::optional<URL> url) const {
    HTTPURLResponse r;
    r.statusCode = status_;
    r.headers = headers_;
    r.url = std::move(url);
    if (const auto length = headers_.value("Content-Length"); length && !headers_.contains("Content-Encoding")) {
        char* end = nullptr;
        const long long n = std::strtoll(length->c_str(), &end, 10);
        if (end && *end == '\0' && n >= 0) r.expectedContentLength = n;
    }
    return r;
}

}  // namespace kiv::platform
