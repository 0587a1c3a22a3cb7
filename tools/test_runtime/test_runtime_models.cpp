#include <nlohmann/json.hpp>

#include "test_runtime_internal.h"

namespace test_runtime {

namespace {

bool parseDescriptor(const std::string& text, Model& model, std::string& error) {
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        error = "model descriptor is not a JSON object";
        return false;
    }
    const std::string mode = doc.value("mode", std::string());
    if (mode == "echo") model.mode = Mode::Echo;
    else if (mode == "detect") model.mode = Mode::Detect;
    else if (mode == "trigger") model.mode = Mode::Trigger;
    else if (mode == "find_squares") model.mode = Mode::FindSquares;
    else if (mode == "classify") model.mode = Mode::Classify;
    else {
        error = "unknown model mode '" + mode + "'";
        return false;
    }
    model.latencyMs = doc.value("latency_ms", int64_t{0});
    model.detectionName = doc.value("output_name", model.detectionName);
    if (doc.contains("outputs") && doc["outputs"].is_array()) {
        for (const auto& name: doc["outputs"])
            if (name.is_string()) model.outputNames.push_back(name.get<std::string>());
    }
    if (doc.contains("rows") && doc["rows"].is_array()) {
        for (const auto& row: doc["rows"]) {
            if (!row.is_array() || row.size() != 6) {
                error = "detect rows need six numbers each";
                return false;
            }
            std::array<float, 6> values{};
            for (size_t i = 0; i < 6; ++i) {
                if (!row[i].is_number()) {
                    error = "detect rows need six numbers each";
                    return false;
                }
                values[i] = row[i].get<float>();
            }
            model.rows.push_back(values);
        }
    }
    model.triggerValue = doc.value("trigger", true);
    model.floatTriggerFirst = doc.value("float_trigger_first", false);
    model.triggerBytes = doc.value("trigger_bytes", int64_t{1});
    model.scoresName = doc.value("scores_name", std::string());
    if (doc.contains("levels") && doc["levels"].is_array()) {
        for (const auto& level: doc["levels"]) {
            if (!level.is_number()) {
                error = "levels need to be numbers";
                return false;
            }
            model.levels.push_back(level.get<float>());
        }
    }
    model.threshold = doc.value("threshold", 0.5f);
    model.minArea = doc.value("min_area", int64_t{4});
    model.squareClass = doc.value("class", 0.0f);
    model.squareScore = doc.value("score", 0.9f);
    model.bigSquareSide = doc.value("bigSquareSide", int64_t{0});
    model.layout = doc.value("layout", model.layout);
    if (model.layout != "rows" && model.layout != "ssd" && model.layout != "rtdetr") {
        error = "unknown layout '" + model.layout + "'";
        return false;
    }
    return true;
}

}  // namespace

bool parseModel(const std::string& text, Model& model, std::string& error) {
    try {
        return parseDescriptor(text, model, error);
    } catch (const std::exception& e) {
        error = std::string("invalid model descriptor: ") + e.what();
        return false;
    }
}

}  // namespace test_runtime
