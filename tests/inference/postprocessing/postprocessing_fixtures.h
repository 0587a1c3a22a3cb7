// Hand-built requests and tensor sets for the post-processing tests and the
// benchmark: a camera with one stage whose model has a 640 x 640 input and
// the classes "car" and "person", and detection tensors of xyxysc rows.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "records/model_details.h"
#include "records/device_agent_details.h"
#include "records/pipeline_stage.h"
#include "records/device_agent_settings.h"
#include "inference/inference_types.h"

namespace qz::vms_server_plugins::analytics::qzai::testing {

inline const char* kDetectionName = "output0 format:xyxysc";

struct TestTensor {
    std::string name;
    std::vector<float> values;
    uint32_t elementType = QZ_ELEMENT_FLOAT32;
    size_t extraBytes = 0;  // appended zero bytes (a partial trailing row)
};

// A set allocated the way the runtime hands one over (every block malloc'd).
inline TensorSetPtr makeTensorSet(const std::vector<TestTensor>& tensors) {
    auto* set = static_cast<TensorSet*>(std::calloc(1, sizeof(TensorSet)));
    set->count = static_cast<uint32_t>(tensors.size());
    set->tensors = static_cast<Tensor*>(std::calloc(tensors.size() + 1, sizeof(Tensor)));
    for (size_t i = 0; i < tensors.size(); ++i) {
        Tensor& t = set->tensors[i];
        t.name = strdup(tensors[i].name.c_str());
        t.elementType = tensors[i].elementType;
        t.rank = 2;
        t.shape = static_cast<int32_t*>(std::malloc(2 * sizeof(int32_t)));
        t.shape[0] = static_cast<int32_t>(tensors[i].values.size() / 6);
        t.shape[1] = 6;
        t.byteSize = tensors[i].values.size() * sizeof(float) + tensors[i].extraBytes;
        t.data = std::calloc(1, t.byteSize + 1);
        if (!tensors[i].values.empty())
            std::memcpy(t.data, tensors[i].values.data(), tensors[i].values.size() * sizeof(float));
    }
    return TensorSetPtr(set);
}

// Rows of one detection tensor named kDetectionName.
inline TensorSetPtr makeDetections(const std::vector<float>& rows) {
    return makeTensorSet({{kDetectionName, rows}});
}

struct TestCamera {
    std::shared_ptr<DeviceAgentSettings_t> settings;
    std::shared_ptr<DeviceAgentDetails_t> details;

    explicit TestCamera(std::string deviceId = "cam-1", ResizingMethod resizing = ResizingMethod::Stretch) {
        auto model = std::make_shared<ModelDetails_t>();
        model->id = "model-1";
        model->name = "detector";
        model->input.width = 640;
        model->input.height = 640;
        auto preparation = std::make_shared<ModelPreparation>();
        preparation->detectionClasses = {"car", "person"};
        model->setPreparation(preparation);
        settings = std::make_shared<DeviceAgentSettings_t>();
        settings->stages.emplace_back();
        settings->stages[0].key = model->id;
        settings->stages[0].model = model;
        settings->stages[0].resizingMethod = resizing;
        details = std::make_shared<DeviceAgentDetails_t>();
        details->deviceId = deviceId;
        details->deviceName = deviceId + " name";
    }

    ModelDetails_t& model() { return *settings->stages[0].model; }
    pipeline_stage_parameters_t& stage() { return settings->stages[0]; }

    std::shared_ptr<InferenceInput_t> request(int64_t timestampUs, FrameRegion_t region = {}) const {
        auto request = std::make_shared<InferenceInput_t>();
        request->timestampUs = timestampUs;
        request->frameWidth = 1920;
        request->frameHeight = 1080;
        request->settings = settings;
        request->details = details;
        request->stage = &settings->stages[0];
        request->region = region;
        return request;
    }
};

}  // namespace qz::vms_server_plugins::analytics::qzai::testing
