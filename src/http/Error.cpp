#include "kiv/http/Error.hpp"

namespace kiv::http {

Error Error::custom(std::string message, std::error_code code) { return Error(Custom{std::move(message), code}); }

std::optional<Error> Error::underlyingAdaptError() const {
    if (const auto* a = adaptError(); a && a->error) return *a->error;
    return std::nullopt;
}

std::string Error::localizedDescription() const {
    return std::visit(
        [](const auto& e) -> std::string {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, HTTPError>) {
                return e.errorDescription();
            } else if constexpr (std::is_same_v<T, platform::URLError>) {
                return e.localizedDescription();
            } else if constexpr (std::is_same_v<T, AdaptError>) {
                return e.error ? e.error->localizedDescription() : std::string("adapter failed");
            } else {
                return e.message;
            }
        },
        value_);
}

std::string Error::description() const {
    if (const auto* u = urlError()) return u->description();
    if (const auto* a = adaptError()) return "AdaptError(" + (a->error ? a->error->description() : std::string()) + ")";
    return localizedDescription();
}

std::error_code Error::code() const {
    return std::visit(
        [](const auto& e) -> std::error_code {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, HTTPError>) {
                return e.errorCode();
            } else if constexpr (std::is_same_v<T, platform::URLError>) {
                return e.errorCode();
            } else if constexpr (std::is_same_v<T, AdaptError>) {
                return e.error ? e.error->code() : std::error_code();
            } else {
                return e.code;
            }
        },
        value_);
}

}  // namespace kiv::http
