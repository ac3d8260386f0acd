#include "HttpMessage.hpp"

#include <algorithm>
#include <cctype>

namespace kiv::cloud {

bool sameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (sameLetters(key, name)) return value;
    return {};
}

std::size_t HttpRequest::headerCount(std::string_view name) const {
    return static_cast<std::size_t>(
        std::count_if(headers.begin(), headers.end(), [&](const auto& line) { return sameLetters(line.first, name); }));
}

std::string HttpRequest::joinedHeader(std::string_view name) const {
    std::string joined;
    for (const auto& [key, value] : headers) {
        if (!sameLetters(key, name)) continue;
        if (!joined.empty()) joined += ", ";
        joined += value;
    }
    return joined;
}

std::string_view HttpRequest::rawQuery() const {
    const auto mark = target.find('?');
    return mark == std::string::npos ? std::string_view() : std::string_view(target).substr(mark + 1);
}

void HttpAnswer::setHeader(std::string_view name, std::string value) {
    std::erase_if(headers, [&](const auto& line) { return sameLetters(line.first, name); });
    headers.emplace_back(std::string(name), std::move(value));
}

void HttpAnswer::setContent(std::string content, std::string contentType) {
    body = std::move(content);
    setHeader("Content-Type", std::move(contentType));
}

}  // namespace kiv::cloud
