#include "inference/postprocessing/dumping_cache_text.h"

#include <cfloat>
#include <cmath>
#include <exception>

#include <nlohmann/json.hpp>

namespace qz::vms_server_plugins::analytics::qzai {
namespace {

// Root object, device arrays, box objects.
constexpr int kMaxCacheNesting = 3;
const char* const kFormatWarning = "Warning: Dumping known bboxes cache has unexpected format\n";

// Deepest bracket nesting of a JSON text, strings skipped; stops counting
// once past `limit`, so a hostile text cannot make the parser recurse.
bool nestsDeeperThan(const std::string& text, int limit) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit) return true;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return false;
}

// A number member of a box; anything that is not a number reads as 0.
// Values a float cannot hold make the box unusable.
std::optional<float> boxNumber(const nlohmann::json& value) {
    if (!value.is_number()) return 0.0f;
    const double number = value.get<double>();
    if (!std::isfinite(number) || std::fabs(number) > FLT_MAX) return std::nullopt;
    return static_cast<float>(number);
}

std::optional<BoxXywh> parseBox(const nlohmann::json& element) {
    if (!element.is_object()) return std::nullopt;
    for (const char* key : {"x", "y", "width", "height"})
        if (!element.contains(key)) return std::nullopt;
    const auto x = boxNumber(element["x"]);
    const auto y = boxNumber(element["y"]);
    const auto width = boxNumber(element["width"]);
    const auto height = boxNumber(element["height"]);
    if (!x || !y || !width || !height) return std::nullopt;
    return BoxXywh{*x, *y, *width, *height};
}

}  // namespace

std::optional<KnownBoxes> parseDumpingCache(const std::string& text, const char** warning) {
    *warning = kDumpingCacheParseWarning;
    if (nestsDeeperThan(text, kMaxCacheNesting)) return std::nullopt;
    nlohmann::json root;
    try {
        root = nlohmann::json::parse(text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!root.is_object()) {
        *warning = kFormatWarning;
        return std::nullopt;
    }
    KnownBoxes boxes;
    for (const auto& [deviceId, value] : root.items()) {
        if (!value.is_array()) continue;
        std::vector<BoxXywh>& device = boxes[deviceId];
        for (const nlohmann::json& element : value) {
            if (auto box = parseBox(element)) device.push_back(*box);
        }
    }
    *warning = nullptr;
    return boxes;
}

std::string serializeDumpingCache(const KnownBoxes& boxes) {
    nlohmann::ordered_json root = nlohmann::ordered_json::object();
    for (const auto& [deviceId, list] : boxes) {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const BoxXywh& box : list) {
            array.push_back({{"x", static_cast<double>(box.x)},
                             {"y", static_cast<double>(box.y)},
                             {"width", static_cast<double>(box.width)},
                             {"height", static_cast<double>(box.height)}});
        }
        root[deviceId] = std::move(array);
    }
    // A device id that is not UTF-8 is written with replacement characters
    // rather than losing every device's boxes.
    return root.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
