#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kiv::cloud {

/// Decoded pairs of an application/x-www-form-urlencoded body, in body order.
using FormPairs = std::vector<std::pair<std::string, std::string>>;

/// Splits on "&" and the first "=" of each pair, decodes %XX escapes and "+" as a space.
/// A pair without "=" has an empty value; empty pairs ("a=1&&b=2") are skipped.
/// None when an escape is not "%" and two hexadecimal digits.
std::optional<FormPairs> parseFormBody(std::string_view body);

/// The "limit" of a query that takes nothing else (GET /deliveries, GET /devices): from 1 to max,
/// fallback when absent. None, with the reason in problem, for a broken escape, another or a
/// repeated parameter, or a value that is not such a number.
std::optional<std::size_t> queryLimit(std::string_view rawQuery, std::size_t fallback, std::size_t max,
                                      std::string& problem);

}  // namespace kiv::cloud
