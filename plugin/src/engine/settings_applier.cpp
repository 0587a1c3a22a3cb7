#include "engine/settings_applier.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "common/json_utils.h"
#include "common/log.h"
#include "inference/tensor_helpers.h"
#include "settings/setting_keys.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

using nlohmann::json;
namespace keys = setting_keys;

const std::string* findSetting(const SettingsMap& settings, const std::string& key) {
    const auto it = settings.find(key);
    return it == settings.end() ? nullptr : &it->second;
}

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

void applyCropBox(pipeline_stage_parameters_t& stage, const std::string& value) {
    const auto points = parseFigurePoints(value);
    if (!points) {
        logMessage("Warning! Ignoring region of interest of %s: not a box figure.\n", stage.key.c_str());
        return;
    }
    if (points->empty()) {  // no box drawn: the whole frame
        stage.cropBox[0] = 0.0f, stage.cropBox[1] = 0.0f, stage.cropBox[2] = 1.0f, stage.cropBox[3] = 1.0f;
        return;
    }
    if (points->size() < 4) {
        logMessage("Warning! Ignoring region of interest of %s: it needs two corners.\n", stage.key.c_str());
        return;
    }
    const float x0 = std::min((*points)[0], (*points)[2]), x1 = std::max((*points)[0], (*points)[2]);
    const float y0 = std::min((*points)[1], (*points)[3]), y1 = std::max((*points)[1], (*points)[3]);
    if (x1 - x0 <= 0.0f || y1 - y0 <= 0.0f) {
        logMessage("Warning! Ignoring region of interest of %s: it has no area.\n", stage.key.c_str());
        return;
    }
    stage.cropBox[0] = x0, stage.cropBox[1] = y0, stage.cropBox[2] = x1, stage.cropBox[3] = y1;
}

void applySensitivity(pipeline_stage_parameters_t& stage, const std::string& value) {
    const auto percentage = parseSensitivityPercentage(value);
    if (!percentage) {
        logMessage("Warning! Model sensitivity of %s is not a number: '%s'; keeping %.4f.\n", stage.key.c_str(),
                   value.c_str(), stage.nmsThreshold);
        return;
    }
    const float nms = 1.0f - static_cast<float>(*percentage) / 100.0f;
    if (floatEquals(nms, stage.nmsThreshold)) return;
    stage.nmsThreshold = nms;
    logMessage("Set model NMS for %s to %.4f (percentage: %d)\n", stage.key.c_str(), nms, *percentage);
}

void applyClassVisualisation(pipeline_stage_parameters_t& stage, const std::string& value) {
    const json parsed = parseOutsideJson(value, "A setting");
    if (!parsed.is_array()) {
        logMessage("Warning! Ignoring class selection of %s: not a JSON array.\n", stage.key.c_str());
        return;
    }
    std::map<std::string, bool> shown;
    if (stage.model) {
        for (const auto& name : stage.model->classNames) shown[name] = false;
    }
    for (const auto& entry : parsed) {
        if (entry.is_string()) shown[entry.get<std::string>()] = true;
    }
    stage.classVisualisation = std::move(shown);
}

void applyMasks(pipeline_stage_parameters_t& stage, const SettingsMap& settings) {
    std::vector<InputMask_t> masks;
    bool any = false;
    for (int i = 1; i <= kMaxInputMasks; ++i) {
        const std::string number = std::to_string(i);
        const std::string* polygon = findSetting(settings, keys::kPolygon + number + ".figure_" + stage.key);
        const std::string* type = findSetting(settings, keys::kMaskType + number + "_" + stage.key);
        any = any || polygon || type;
        if (!polygon) continue;
        const auto points = parseFigurePoints(*polygon);
        if (!points) {
            logMessage("Warning! Ignoring mask %d of %s: not a polygon figure.\n", i, stage.key.c_str());
            continue;
        }
        if (points->size() < 6) continue;  // no polygon drawn
        InputMask_t mask;
        mask.type = (type && *type == "exclusive") ? 1 : 0;
        mask.points = *points;
        masks.push_back(std::move(mask));
    }
    if (any) stage.masks = std::move(masks);
}

void applyLine(pipeline_stage_parameters_t& stage, const std::string& value) {
    const auto points = parseFigurePoints(value);
    if (!points) {
        logMessage("Warning! Ignoring crossing line of %s: not a line figure.\n", stage.key.c_str());
        return;
    }
    stage.lineCrossingEnabled = points->size() >= 4;
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

void applyProcessorSettings(const SettingsMap& settings, const std::string& prefix,
                            std::map<std::string, std::string>& out) {
    for (auto it = settings.lower_bound(prefix); it != settings.end(); ++it) {
        if (it->first.compare(0, prefix.size(), prefix) != 0) break;
        const std::string name = it->first.substr(prefix.size());
        if (!name.empty()) out[name] = it->second;
    }
}

void applyToStage(pipeline_stage_parameters_t& stage, const SettingsMap& settings) {
    const std::string& k = stage.key;
    if (const auto* v = findSetting(settings, keys::kCropBox + k)) applyCropBox(stage, *v);
    if (const auto* v = findSetting(settings, keys::kModelNms + k)) applySensitivity(stage, *v);
    if (const auto* v = findSetting(settings, keys::kVisualiseClasses + k)) applyClassVisualisation(stage, *v);
    applyMasks(stage, settings);
    if (const auto* v = findSetting(settings, keys::kLineCrossingLine + k)) applyLine(stage, *v);
    if (const auto* v = findSetting(settings, keys::kLoiterDetectionObjectClass + k); v && !v->empty()) {
        stage.loiterObjectClass = *v;
    }
    if (const auto* v = findSetting(settings, keys::kLoiterDetectionTimeThreshold + k)) {
        if (const auto seconds = positiveSeconds(*v)) stage.loiterTimeThresholdSeconds = *seconds;
        else logMessage("Warning! Ignoring loiter time threshold of %s: '%s'.\n", k.c_str(), v->c_str());
    }
    if (const auto* v = findSetting(settings, keys::kDumpingDetectionObjectType + k); v && !v->empty()) {
        stage.dumpingObjectClass = *v;
    }
    if (const auto* v = findSetting(settings, keys::kDumpingDetectionTimeThreshold + k)) {
        if (const auto seconds = positiveSeconds(*v)) stage.dumpingTimeThresholdUs = *seconds * 1000000LL;
        else logMessage("Warning! Ignoring dumping time threshold of %s: '%s'.\n", k.c_str(), v->c_str());
    }
    applyProcessorSettings(settings, k + keys::kPreprocessorSetting, stage.preprocessorSettings);
    applyProcessorSettings(settings, k + keys::kPostprocessorSetting, stage.postprocessorSettings);
    for (auto& child : stage.children) applyToStage(child, settings);
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
                                                           const SettingsMap& settings) {
    auto next = std::make_shared<DeviceAgentSettings_t>(base);
    if (const auto* v = findSetting(settings, keys::kDeviceActiveSwitch)) next->deviceActive = (*v == "true");
    if (const auto* v = findSetting(settings, keys::kSelectedPipeline); v && !v->empty()) {
        next->selectedPipeline = *v;
    }
    for (auto& stage : next->stages) applyToStage(stage, settings);
    return next;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
