#include "qz/sdk/helpers/to_string.h"

#include <cstdio>

#include "qz/sdk/helpers/string_map.h"

namespace qz::sdk {

std::string toString(const IStringMap* map) {
    if (!map) return "null";
    std::string text = "{";
    for (const auto& [key, value] : toStdMap(map)) {
        if (text.size() > 1) text += ", ";
        text += "\"" + key + "\": \"" + value + "\"";
    }
    return text + "}";
}

namespace analytics {
std::string toString(const Rect& rect) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "(%g, %g, %g x %g)", rect.x, rect.y, rect.width, rect.height);
    return buffer;
}
}  // namespace analytics

}  // namespace qz::sdk
