// Helpers for the inference manager tests: camera pipelines over test-runtime
// models, host frames from the test host, and a callback that counts what
// reaches a camera.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "records/model_details.h"
#include "records/device_agent_details.h"
#include "records/device_agent_settings.h"
#include "host/test_frame.h"
#include "inference/inference_types.h"
#include "qz/sdk/analytics/helpers/event_metadata_packet.h"
#include "qz/sdk/analytics/helpers/object_metadata_packet.h"
#include "qz/sdk/analytics/helpers/object_track_best_shot_packet.h"
#include "qz/sdk/ptr.h"

namespace manager_test {

namespace qzai = qz::vms_server_plugins::analytics::qzai;

// Gives the model an image input "image-" of float32 [1, 3, side, side]
// (planar) and the class list.
void describeImageInput(qzai::ModelDetails_t& model, int side, std::vector<std::string> classes = {"square"});

// One top-level stage per model, in order; frameRoad[i] marks stage i for the
// frame road (missing entries: direct road). Every class of the model is shown.
std::shared_ptr<const qzai::DeviceAgentSettings_t> makeSettings(
    const std::vector<std::shared_ptr<qzai::ModelDetails_t>>& models, std::vector<bool> frameRoad = {});

std::shared_ptr<const qzai::DeviceAgentDetails_t> makeDetails(const std::string& deviceId);

qz::sdk::Ptr<qz::sdk::analytics::IUncompressedVideoFrame> makeFrame(int width, int height, int64_t timestampUs,
                                                                   std::vector<qz::test_host::Square> squares = {});

qzai::ModelMap modelMap(const std::vector<std::shared_ptr<qzai::ModelDetails_t>>& models);

// A test-runtime descriptor of the echo mode answering after `latencyMs`.
std::string echoDescriptor(int latencyMs = 0);

}  // namespace manager_test
