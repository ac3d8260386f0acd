// URL conversion of arbitrary text: a URL or invalidURL carrying the text, never a crash; a
// parsed URL keeps its text and survives query replacement.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kiv/http/URLRequestConvertible.hpp"
#include "kiv/platform/network/URLComponents.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kiv::http;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto result = URLConvertible(text).asURL();
    if (const auto* url = result.value()) {
        if (url->absoluteString() != text) std::abort();
        (void)url->host();
        (void)url->port();
        const auto query = url->percentEncodedQuery();
        const auto same = url->withPercentEncodedQuery(query);
        if (!same || same->absoluteString() != text) std::abort();
        (void)kiv::platform::URLComponents::from(*url).url();
    } else {
        const auto* error = result.error()->httpError();
        if (!error || !error->url() || *error->url() != text) std::abort();
    }
    auto request = makeURLRequest(text, HTTPMethod::get);
    if (request.isSuccess() != result.isSuccess()) std::abort();
    return 0;
}
