#include "engine/settings_applier.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include <nlohmann/json.hpp>

#include "common/json_utils.h"
#include "common/log.h"
#include "inference/tensor_helpers.h"
#include "records/setting_keys.h"
#include "settings/setting_names.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

using nlohmann::json;
namespace keys = setting_keys;

const std::string* findSetting(const SettingsMap& settings, const std::string& key) {
    const auto it = settings.find(key);
    return it == settings.end() ? nullptr : &it->second;
}

// Refused keys: one warning line per key (a key shared by two stages of the
// same model is reported once) and the key in *rejected.
// Keys in `alreadyReported` are collected without a line.
class Refusals {
public:
    explicit Refusals(std::vector<std::string>* rejected, const std::set<std::string>* alreadyReported = nullptr)
        : m_rejected(rejected), m_alreadyReported(alreadyReported) {}

    void refuse(const std::string& key, const char* reason) {
        if (!m_seen.insert(key).second) return;
        if (!m_alreadyReported || m_alreadyReported->count(key) == 0) {
            logMessage("Warning! Ignoring setting %s: %s\n", key.c_str(), reason);
        }
        if (m_rejected) m_rejected->push_back(key);
    }

private:
    std::vector<std::string>* m_rejected;
    const std::set<std::string>* m_alreadyReported;
    std::set<std::string> m_seen;
};

// A JSON number or a text holding one.
std::optional<double> numberFromText(const std::string& value) {
    const json parsed = parseOutsideJson(value, "A setting");
    if (parsed.is_number()) return parsed.get<double>();
    if (parsed.is_string()) {
        const json inner = parseOutsideJson(parsed.get<std::string>(), "A setting");
        if (inner.is_number()) return inner.get<double>();
    }
    return std::nullopt;
}

void applyCropBox(pipeline_stage_parameters_t& stage, const std::string& key, const std::string& value,
                  Refusals& refusals) {
    const auto points = parseFigurePoints(value);
    if (!points) return refusals.refuse(key, "not a box figure.");
    if (points->empty()) {  // no box drawn: the whole frame
        stage.cropBox[0] = 0.0f, stage.cropBox[1] = 0.0f, stage.cropBox[2] = 1.0f, stage.cropBox[3] = 1.0f;
        return;
    }
    if (points->size() < 4) return refusals.refuse(key, "a box needs two corners.");
    const float x0 = std::min((*points)[0], (*points)[2]), x1 = std::max((*points)[0], (*points)[2]);
    const float y0 = std::min((*points)[1], (*points)[3]), y1 = std::max((*points)[1], (*points)[3]);
    if (x1 - x0 <= 0.0f || y1 - y0 <= 0.0f) return refusals.refuse(key, "the box has no area.");
    stage.cropBox[0] = x0, stage.cropBox[1] = y0, stage.cropBox[2] = x1, stage.cropBox[3] = y1;
}

void applySensitivity(pipeline_stage_parameters_t& stage, const std::string& key, const std::string& value,
                      Refusals& refusals) {
    const auto percentage = parseSensitivityPercentage(value);
    if (!percentage) return refusals.refuse(key, "the sensitivity is not a number.");
    const float nms = 1.0f - static_cast<float>(*percentage) / 100.0f;
    if (floatEquals(nms, stage.nmsThreshold)) return;
    stage.nmsThreshold = nms;
    logMessage("Set model NMS for %s to %.4f (percentage: %d)\n", stage.key.c_str(), nms, *percentage);
}

void applyClassVisualisation(pipeline_stage_parameters_t& stage, const std::string& key, const std::string& value,
                             Refusals& refusals) {
    const json parsed = parseOutsideJson(value, "A setting");
    if (!parsed.is_array()) return refusals.refuse(key, "not a JSON array of class names.");
    std::map<std::string, bool> shown;
    if (stage.model) {
        for (const auto& name : stage.model->classNames) shown[name] = false;
    }
    for (const auto& entry : parsed) {
        if (!entry.is_string() || entry.get_ref<const std::string&>().empty()) {
            return refusals.refuse(key, "every entry must be a class name.");
        }
        shown[entry.get<std::string>()] = true;
    }
    stage.classVisualisation = std::move(shown);
    stage.classVisualisationSet = true;
}

// The masks are replaced as a whole; one refused mask value keeps the list.
void applyMasks(pipeline_stage_parameters_t& stage, const SettingsMap& settings, Refusals& refusals) {
    std::vector<InputMask_t> masks;
    bool any = false, refused = false;
    for (int i = 1; i <= kMaxInputMasks; ++i) {
        const std::string number = std::to_string(i);
        const std::string typeKey = maskTypeName(number, stage.key);
        const std::string polygonKey = polygonName(number, stage.key);
        const std::string* type = findSetting(settings, typeKey);
        const std::string* polygon = findSetting(settings, polygonKey);
        any = any || polygon || type;
        int maskType = 0;
        if (type && *type == "exclusive") {
            maskType = 1;
        } else if (type && *type != "inclusive") {
            refusals.refuse(typeKey, "the mask type must be \"inclusive\" or \"exclusive\".");
            refused = true;
        }
        if (!polygon) continue;
        const auto points = parseFigurePoints(*polygon);
        if (!points) {
            refusals.refuse(polygonKey, "not a polygon figure.");
            refused = true;
            continue;
        }
        if (points->empty()) continue;  // no polygon drawn
        const size_t vertices = points->size() / 2;
        constexpr size_t kMin = kPolygonMinPoints, kMax = kPolygonMaxPoints;
        if (vertices < kMin || vertices > kMax) {
            refusals.refuse(polygonKey, vertices < kMin ? "a polygon needs at least three points."
                                                                     : "a polygon has at most eight points.");
            refused = true;
            continue;
        }
        InputMask_t mask;
        mask.type = maskType;
        mask.points = *points;
        masks.push_back(std::move(mask));
    }
    if (any && !refused) stage.masks = std::move(masks);
}

void applyLine(pipeline_stage_parameters_t& stage, const std::string& key, const std::string& value,
               Refusals& refusals) {
    const auto points = parseFigurePoints(value);
    if (!points) return refusals.refuse(key, "not a line figure.");
    if (!points->empty() && points->size() != size_t{2} * kLinePoints)
        return refusals.refuse(key, "a line has exactly two points.");
    stage.lineCrossingEnabled = !points->empty();
    if (!stage.lineCrossingEnabled) return;
    stage.lineX1 = (*points)[0], stage.lineY1 = (*points)[1];
    stage.lineX2 = (*points)[2], stage.lineY2 = (*points)[3];
}

// Whole seconds, above 0; empty otherwise.
std::optional<int64_t> positiveSeconds(const std::string& value) {
    const auto number = numberFromText(value);
    if (!number || !std::isfinite(*number) || *number < 1.0) return std::nullopt;
    // Bounded so that seconds x 1,000,000 fits 64 bits.
    constexpr double kMaxSeconds = static_cast<double>(std::numeric_limits<int64_t>::max() / 1000000);
    return static_cast<int64_t>(std::min(std::floor(*number), kMaxSeconds));
}

void applyClassName(std::string& field, const std::string& key, const std::string& value, Refusals& refusals) {
    if (value.empty()) return refusals.refuse(key, "the class name is empty.");
    field = value;
}

void applyProcessorSettings(const SettingsMap& settings, const std::string& prefix,
                            std::map<std::string, std::string>& out) {
    for (auto it = settings.lower_bound(prefix); it != settings.end(); ++it) {
        if (it->first.compare(0, prefix.size(), prefix) != 0) break;
        const std::string name = it->first.substr(prefix.size());
        if (!name.empty()) out[name] = it->second;
    }
}

void applyToStage(pipeline_stage_parameters_t& stage, const SettingsMap& settings, Refusals& refusals) {
    const std::string& k = stage.key;
    auto with = [&](const char* prefix, auto apply) {
        const std::string key = stageItemName(prefix, k);
        if (const auto* v = findSetting(settings, key)) apply(key, *v);
    };
    with(keys::kCropBox, [&](const std::string& key, const std::string& v) { applyCropBox(stage, key, v, refusals); });
    with(keys::kModelNms,
         [&](const std::string& key, const std::string& v) { applySensitivity(stage, key, v, refusals); });
    with(keys::kVisualiseClasses,
         [&](const std::string& key, const std::string& v) { applyClassVisualisation(stage, key, v, refusals); });
    applyMasks(stage, settings, refusals);
    with(keys::kLineCrossingLine,
         [&](const std::string& key, const std::string& v) { applyLine(stage, key, v, refusals); });
    with(keys::kLoiterDetectionObjectClass, [&](const std::string& key, const std::string& v) {
        applyClassName(stage.loiterObjectClass, key, v, refusals);
    });
    with(keys::kLoiterDetectionTimeThreshold, [&](const std::string& key, const std::string& v) {
        if (const auto seconds = positiveSeconds(v)) stage.loiterTimeThresholdSeconds = *seconds;
        else refusals.refuse(key, "the time threshold must be a number of seconds, at least 1.");
    });
    with(keys::kDumpingDetectionObjectType, [&](const std::string& key, const std::string& v) {
        applyClassName(stage.dumpingObjectClass, key, v, refusals);
    });
    with(keys::kDumpingDetectionTimeThreshold, [&](const std::string& key, const std::string& v) {
        if (const auto seconds = positiveSeconds(v)) stage.dumpingTimeThresholdUs = *seconds * 1000000LL;
        else refusals.refuse(key, "the time threshold must be a number of seconds, at least 1.");
    });
    applyProcessorSettings(settings, processorSettingName(k, keys::kPreprocessorSetting, ""),
                           stage.preprocessorSettings);
    applyProcessorSettings(settings, processorSettingName(k, keys::kPostprocessorSetting, ""),
                           stage.postprocessorSettings);
    for (auto& child : stage.children) applyToStage(child, settings, refusals);
}

std::shared_ptr<DeviceAgentSettings_t> applyWith(const DeviceAgentSettings_t& base, const SettingsMap& settings,
                                                 Refusals& refusals) {
    auto next = std::make_shared<DeviceAgentSettings_t>(base);
    if (const auto* v = findSetting(settings, keys::kDeviceActiveSwitch)) {
        if (*v == "true" || *v == "false") next->deviceActive = (*v == "true");
        else refusals.refuse(keys::kDeviceActiveSwitch, "the value must be \"true\" or \"false\".");
    }
    if (const auto* v = findSetting(settings, keys::kSelectedPipeline); v && !v->empty()) {
        next->selectedPipeline = *v;
    }
    for (auto& stage : next->stages) applyToStage(stage, settings, refusals);
    return next;
}

bool readable(const std::string& key, const std::string& value) {
    if (value.size() > kMaxSettingValueBytes) return false;
    const auto number = maskNumberText(key);
    if (!number) return true;
    for (int i = 1; i <= kMaxInputMasks; ++i) {
        if (*number == std::to_string(i)) return true;
    }
    return false;
}

// Coordinates are relative: a point beyond the frame is pulled onto its edge
// (as a double, before narrowing, so no value is out of a float's range).
bool readPoint(const json& point, float& x, float& y) {
    double dx = 0.0, dy = 0.0;
    if (point.is_array() && point.size() == 2 && point[0].is_number() && point[1].is_number()) {
        dx = point[0].get<double>(), dy = point[1].get<double>();
    } else if (point.is_object() && point.contains("x") && point.contains("y") && point["x"].is_number() &&
               point["y"].is_number()) {
        dx = point["x"].get<double>(), dy = point["y"].get<double>();
    } else {
        return false;
    }
    if (!std::isfinite(dx) || !std::isfinite(dy)) return false;
    x = static_cast<float>(std::clamp(dx, 0.0, 1.0)), y = static_cast<float>(std::clamp(dy, 0.0, 1.0));
    return true;
}

}  // namespace

std::optional<std::vector<float>> parseFigurePoints(const std::string& value) {
    if (value.empty()) return std::vector<float>{};
    json parsed = parseOutsideJson(value, "A setting");
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    const auto figure = parsed.find("figure");
    if (figure == parsed.end() || figure->is_null()) return std::vector<float>{};
    if (!figure->is_object()) return std::nullopt;
    const auto points = figure->find("points");
    if (points == figure->end() || points->is_null()) return std::vector<float>{};
    if (!points->is_array()) return std::nullopt;
    std::vector<float> flat;
    for (const auto& point : *points) {
        float x = 0.0f, y = 0.0f;
        if (!readPoint(point, x, y)) return std::nullopt;
        flat.push_back(std::clamp(x, 0.0f, 1.0f));
        flat.push_back(std::clamp(y, 0.0f, 1.0f));
    }
    return flat;
}

std::optional<int> parseSensitivityPercentage(const std::string& value) {
    const auto number = numberFromText(value);
    if (!number || !std::isfinite(*number)) return std::nullopt;
    return static_cast<int>(std::lround(std::clamp(*number, 1.0, 100.0)));
}

std::shared_ptr<DeviceAgentSettings_t> applyDeviceSettings(const DeviceAgentSettings_t& base,
                                                           const SettingsMap& settings,
                                                           std::vector<std::string>* rejected) {
    Refusals refusals(rejected);
    return applyWith(base, settings, refusals);
}

size_t dropUnreadableSettings(SettingsMap& settings, const SettingsMap* previous) {
    size_t dropped = 0;
    for (auto it = settings.begin(); it != settings.end();) {
        if (readable(it->first, it->second)) {
            ++it;
            continue;
        }
        ++dropped;
        const auto kept = previous ? previous->find(it->first) : SettingsMap::const_iterator{};
        if (previous && kept != previous->end() && readable(kept->first, kept->second)) {
            (it++)->second = kept->second;
        } else {
            it = settings.erase(it);
        }
    }
    if (dropped > 0) {
        logMessage("Warning! Ignoring %zu settings that no stage reads: masks numbered above %d or values longer "
                   "than %zu bytes.\n",
                   dropped, kMaxInputMasks, kMaxSettingValueBytes);
    }
    return dropped;
}

AcceptedSettings acceptReceivedSettings(const SettingsMap& previousReceived, const SettingsMap& newReceived,
                                        const DeviceAgentSettings_t& base) {
    AcceptedSettings result;
    result.stored = newReceived;
    dropUnreadableSettings(result.stored, &previousReceived);
    Refusals refusals(&result.rejected);
    applyWith(base, result.stored, refusals);
    for (const auto& key : result.rejected) {
        const auto previous = previousReceived.find(key);
        if (previous != previousReceived.end()) result.stored[key] = previous->second;
        else result.stored.erase(key);
    }
    // A previous value that is itself refused (an old cache, say) is dropped;
    // its key was reported above, so nothing is logged twice.
    const std::set<std::string> reported(result.rejected.begin(), result.rejected.end());
    std::vector<std::string> refusedAgain;
    Refusals again(&refusedAgain, &reported);
    result.snapshot = applyWith(base, result.stored, again);
    if (!refusedAgain.empty()) {
        for (const auto& key : refusedAgain) result.stored.erase(key);
        Refusals last(nullptr, &reported);
        result.snapshot = applyWith(base, result.stored, last);
    }
    return result;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
