#pragma once

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

}  // namespace kiv::cloud
