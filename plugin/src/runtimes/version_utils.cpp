#include "runtimes/version_utils.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// Parts between the dots; an empty text has none, a trailing dot adds none.
std::vector<std::string_view> splitParts(std::string_view text) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start < text.size()) {
        const size_t dot = text.find('.', start);
        if (dot == std::string_view::npos) {
            parts.push_back(text.substr(start));
            break;
        }
        parts.push_back(text.substr(start, dot - start));
        start = dot + 1;
    }
    return parts;
}

}  // namespace

std::optional<int> readLeadingDecimal(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    int value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (ec != std::errc()) return std::nullopt;
    return value;
}

std::optional<int> tryCompareVersions(std::string_view a, std::string_view b) {
    const auto left = splitParts(a);
    const auto right = splitParts(b);
    const size_t count = std::max(left.size(), right.size());
    std::optional<int> result;
    for (size_t i = 0; i < count; ++i) {
        const auto x = i < left.size() ? readLeadingDecimal(left[i]) : std::optional<int>(0);
        const auto y = i < right.size() ? readLeadingDecimal(right[i]) : std::optional<int>(0);
        if (!x || !y) return std::nullopt;
        if (!result && *x != *y) result = *x < *y ? -1 : 1;
    }
    return result.value_or(0);
}

int compareVersions(std::string_view a, std::string_view b) {
    const auto left = splitParts(a);
    const auto right = splitParts(b);
    const size_t count = std::max(left.size(), right.size());
    for (size_t i = 0; i < count; ++i) {
        const int x = i < left.size() ? readLeadingDecimal(left[i]).value_or(0) : 0;
        const int y = i < right.size() ? readLeadingDecimal(right[i]).value_or(0) : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

std::string truncateToMajorMinor(std::string_view version) {
    const size_t first = version.find('.');
    if (first == std::string_view::npos) return std::string(version);
    const size_t second = version.find('.', first + 1);
    return std::string(version.substr(0, second));
}

bool compareCudaVersions(std::string_view toolkit, std::string_view driver) {
    if (toolkit.empty() || driver.empty()) return true;
    const auto order = tryCompareVersions(truncateToMajorMinor(toolkit), truncateToMajorMinor(driver));
    return !order || *order <= 0;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
