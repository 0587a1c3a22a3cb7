// Small text helpers shared across the plug-in. Plain functions; thread-safe;
// none of them throws.
#pragma once

#include <charconv>
#include <cstdarg>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace qz::vms_server_plugins::analytics::qzai {

// Reads the whole text as a decimal integer of type T (an optional leading
// '-' for signed types, no spaces, no '+'). A value that does not fit T is not
// a number: the result is empty, never an exception.
template <class T>
std::optional<T> parseInteger(std::string_view text) {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
    if (text.empty()) return std::nullopt;
    T value{};
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

// Equal byte for byte except for ASCII letter case (no locale involved).
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

// An address without its query and fragment, for logs and texts shown to
// users (a signed address carries its token in the query).
std::string addressWithoutQuery(std::string_view url);

// The text with every byte outside [A-Za-z0-9-._~] percent-encoded, for ids
// put into a path segment or a query value.
std::string percentEncoded(std::string_view text);

// Text without leading and trailing spaces, tabs, CR and LF.
std::string_view trimWhitespace(std::string_view text);

// `<a href="URL">TEXT</a>`; the address is the link text when text is empty;
// an empty address gives an empty text. Neither part is escaped.
std::string makeHtmlLink(const std::string& url, const std::string& text);

// The text with &, <, >, " and ' written as HTML character references, for
// putting outside text into HTML.
std::string escapeHtml(std::string_view text);

// Formats like vsnprintf into buffer (always terminated when size > 0) and
// returns the length the whole text needs, or -1 on a formatting error.
// buffer may be null when size is 0.
int formatToBuffer(char* buffer, size_t size, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

// Class names from a model output description such as
// "scores-0:person;1:car;bboxes-format:xyxy": split at ';', empty entries and
// entries containing "bboxes-format" or no ':' skipped, a leading "scores-"
// dropped; the decimal index before the first ':' must equal the number of
// names collected so far. An index out of sequence or not a number (including
// one too large for its type) gives an empty list.
std::vector<std::string> parseClassNames(const std::string& text);

}  // namespace qz::vms_server_plugins::analytics::qzai
