// The JSON response rule on arbitrary bodies: never throws, never crashes; a success prints.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "http/JSONText.hpp"
#include "kiv/http/DataResponse.hpp"
#include "kiv/http/DataResponseSerializer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kiv::http;
    const std::string body(reinterpret_cast<const char*>(data), size);
    kiv::platform::HTTPURLResponse response;
    response.statusCode = size > 0 ? 200 + data[0] % 8 : 200;  // includes 204 and 205
    for (const bool fragments : {true, false}) {
        const auto result = serializeResponseJSON({.allowFragments = fragments}, response, body, std::nullopt);
        if (isEmptyDataStatusCode(response.statusCode) && !result.isSuccess()) std::abort();
        if (body.empty() && !isEmptyDataStatusCode(response.statusCode) && result.isSuccess()) std::abort();
        // Text forms must hold for whatever came back.
        DataResponse<nlohmann::json> r{std::nullopt, response, body, result, Timeline{}, nullptr};
        (void)r.debugDescription();
        // The body writer must write any parsed value exactly as the library's writer does.
        if (const auto* value = result.value()) {
            for (int indent : {-1, 2}) {
                std::string ours, theirs;
                bool oursThrew = false, theirsThrew = false;
                try { ours = kiv::http::jsonText(*value, indent); } catch (const std::exception&) { oursThrew = true; }
                try { theirs = value->dump(indent); } catch (const std::exception&) { theirsThrew = true; }
                if (oursThrew != theirsThrew || ours != theirs) std::abort();
            }
        }
    }
    return 0;
}
