#include "manager_fixture.h"

#include <nlohmann/json.hpp>

namespace manager_test {

void describeImageInput(qzai::ModelDetails_t& model, int side, std::vector<std::string> classes) {
    model.input.width = static_cast<uint64_t>(side);
    model.input.height = static_cast<uint64_t>(side);
    model.input.channels = 3;
    model.input.order = 0;
    model.namedInputs = {{"image-", QZ_ELEMENT_FLOAT32, {1, 3, side, side}}};
    model.classNames = std::move(classes);
}

std::shared_ptr<const qzai::DeviceAgentSettings_t> makeSettings(
    const std::vector<std::shared_ptr<qzai::ModelDetails_t>>& models, std::vector<bool> frameRoad) {
    auto settings = std::make_shared<qzai::DeviceAgentSettings_t>();
    settings->deviceActive = true;
    frameRoad.resize(models.size(), false);
    for (size_t i = 0; i < models.size(); ++i) {
        const auto& model = models[i];
        qzai::pipeline_stage_parameters_t stage;
        stage.key = model->id;
        stage.model = model;
        stage.needsFrame = frameRoad[i];
        for (const std::string& name : model->classNames) stage.classVisualisation[name] = true;
        settings->stages.push_back(std::move(stage));
    }
    return settings;
}

std::shared_ptr<const qzai::DeviceAgentDetails_t> makeDetails(const std::string& deviceId) {
    return std::make_shared<qzai::DeviceAgentDetails_t>(qzai::DeviceAgentDetails_t{deviceId, "Camera " + deviceId});
}

qz::sdk::Ptr<qz::sdk::analytics::IUncompressedVideoFrame> makeFrame(int width, int height, int64_t timestampUs,
                                                                   std::vector<qz::test_host::Square> squares) {
    qz::test_host::FrameLayout description;
    description.width = width;
    description.height = height;
    description.timestampUs = timestampUs;
    description.squares = std::move(squares);
    return qz::sdk::Ptr<qz::sdk::analytics::IUncompressedVideoFrame>(new qz::test_host::TestFrame(description));
}

qzai::ModelMap modelMap(const std::vector<std::shared_ptr<qzai::ModelDetails_t>>& models) {
    qzai::ModelMap map;
    for (const auto& model : models) map[model->id] = model;
    return map;
}

std::string echoDescriptor(int latencyMs) {
    return nlohmann::json{{"mode", "echo"}, {"latency_ms", latencyMs}}.dump();
}

}  // namespace manager_test
