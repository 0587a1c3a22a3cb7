#include "common/text_utils.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>

namespace qz::vms_server_plugins::analytics::qzai {

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    const auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
               return lower(static_cast<unsigned char>(x)) == lower(static_cast<unsigned char>(y));
           });
}

std::string_view trimWhitespace(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n";
    const size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

std::string makeHtmlLink(const std::string& url, const std::string& text) {
    if (url.empty()) return {};
    return "<a href=\"" + url + "\">" + (text.empty() ? url : text) + "</a>";
}

int formatToBuffer(char* buffer, size_t size, const char* format, va_list args) {
    if (!format) {
        if (buffer && size > 0) buffer[0] = '\0';
        return -1;
    }
    const int needed = std::vsnprintf(size > 0 ? buffer : nullptr, size, format, args);
    if (needed < 0) {
        if (buffer && size > 0) buffer[0] = '\0';
        return -1;
    }
    return needed;
}

std::vector<std::string> parseClassNames(const std::string& text) {
    constexpr std::string_view kScoresPrefix = "scores-";
    std::vector<std::string> names;
    std::string_view rest = text;
    while (!rest.empty()) {
        const size_t semicolon = rest.find(';');
        std::string_view entry = rest.substr(0, semicolon);
        rest = semicolon == std::string_view::npos ? std::string_view{} : rest.substr(semicolon + 1);
        if (entry.empty()) continue;
        if (entry.starts_with(kScoresPrefix)) entry.remove_prefix(kScoresPrefix.size());
        if (entry.find("bboxes-format") != std::string_view::npos) continue;
        const size_t colon = entry.find(':');
        if (colon == std::string_view::npos) continue;
        const auto index = parseInteger<uint64_t>(entry.substr(0, colon));
        if (!index || *index != names.size()) return {};
        names.emplace_back(entry.substr(colon + 1));
    }
    return names;
}

std::string escapeHtml(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': escaped += "&amp;"; break;
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            case '"': escaped += "&quot;"; break;
            case '\'': escaped += "&#39;"; break;
            default: escaped += c;
        }
    }
    return escaped;
}

std::string addressWithoutQuery(std::string_view url) {
    return std::string(url.substr(0, url.find_first_of("?#")));
}

std::string percentEncoded(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
