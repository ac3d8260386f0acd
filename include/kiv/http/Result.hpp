#pragma once
/// Success with a value or failure with an error.

#include <concepts>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include <nlohmann/json_fwd.hpp>

#include "kiv/export.hpp"
#include "kiv/http/Error.hpp"

namespace kiv::http {

/// Compact JSON text of a value (invalid UTF-8 replaced), used in debug output.
KIV_EXPORT std::string textForm(const nlohmann::json& value);

/// Thread: plain value, any thread.
template <class Value>
class Result {
public:
    static Result success(Value value) { return Result(std::in_place_index<0>, std::move(value)); }
    static Result failure(Error error) { return Result(std::in_place_index<1>, std::move(error)); }

    bool isSuccess() const { return value_.index() == 0; }
    bool isFailure() const { return value_.index() == 1; }
    /// The value on success, else null.
    const Value* value() const { return std::get_if<0>(&value_); }
    /// The error on failure, else null.
    const Error* error() const { return std::get_if<1>(&value_); }

    std::string description() const { return isSuccess() ? "SUCCESS" : "FAILURE"; }
    std::string debugDescription() const {
        if (const auto* e = error()) return "FAILURE: " + e->description();
        return "SUCCESS: " + describe(*value());
    }

private:
    template <std::size_t I, class T>
    Result(std::in_place_index_t<I> i, T&& v) : value_(i, std::forward<T>(v)) {}

    static std::string describe(const Value& v) {
        if constexpr (requires { textForm(v); }) {
            return textForm(v);
        } else if constexpr (std::is_convertible_v<const Value&, std::string>) {
            return std::string(v);
        } else if constexpr (std::is_arithmetic_v<Value>) {
            return std::to_string(v);
        } else if constexpr (requires { v.description(); }) {
            return v.description();
        } else {
            return "<value>";
        }
    }

    std::variant<Value, Error> value_;
};

}  // namespace kiv::http
