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

/// The one number a query may hold (limit of GET /deliveries and GET /devices, minutes of
/// GET /summary): from 1 to max, fallback when absent. None, with the reason in problem, for a
/// broken escape, another or a repeated parameter, or a value that is not such a number.
std::optional<std::size_t> queryNumber(std::string_view rawQuery, std::string_view name, std::size_t fallback,
                                       std::size_t max, std::string& problem);

}  // namespace kiv::cloud
