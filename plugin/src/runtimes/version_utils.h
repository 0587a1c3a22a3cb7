// Dotted version texts ("12.4", "3.3.2") and the decimal numbers read from
// tool output. Plain functions; thread-safe; nothing throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qz::vms_server_plugins::analytics::qzai {

// The decimal number at the start of the text (at least one digit; what
// follows the digits is ignored). Empty when the text does not start with a
// digit or the number does not fit an int.
std::optional<int> readLeadingDecimal(std::string_view text);

// Compares part by part from the left (split at '.', a missing part counts
// as 0; each part read by readLeadingDecimal): -1, 0 or 1. Empty when a part
// is not a number.
std::optional<int> tryCompareVersions(std::string_view a, std::string_view b);
// tryCompareVersions with a part that is not a number counting as 0.
int compareVersions(std::string_view a, std::string_view b);

// The text before its second '.' ("12.4.1" gives "12.4"); a text with fewer
// dots stays whole.
std::string truncateToMajorMinor(std::string_view version);

// True when the toolkit version is not newer than the driver's, compared as
// major.minor; also true when either text is empty or a part is not a number.
bool compareCudaVersions(std::string_view toolkit, std::string_view driver);

}  // namespace qz::vms_server_plugins::analytics::qzai
