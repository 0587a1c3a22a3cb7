// libFuzzer target: an external objects post-processor's answer, as any
// bytes, applied to a device holding a few tracked objects, for a request
// chained on a source object. Nothing may crash, and afterwards every class
// list holds only objects, each with a track id that is not null.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <utility>

#include "inference/processors/objects_messages.h"
#include "inference/postprocessing/postprocessing_state.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

qzai::QzAIObjectPtr tracked(const char* id) {
    qzai::QzAIObjectData_t data;
    data.trackId = qz::sdk::uuidFromString(id);
    data.box = {0.1f, 0.1f, 0.2f, 0.2f};
    data.attributes.push_back(qz::sdk::makePtr<qz::sdk::Attribute>("colour", "red", 0.5f));
    return std::make_shared<qzai::QzAIObject_t>(std::move(data));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qzai::PostprocessingState state("");
    auto device = state.deviceTracks("cam");
    device->classes["car"] = {tracked("{00000000-0000-4000-8000-000000000001}"),
                              tracked("{00000000-0000-4000-8000-000000000002}")};
    device->classes["person"] = {tracked("{00000000-0000-4000-8000-000000000003}")};

    qzai::InferenceInput_t request;
    request.timestampUs = 1000;
    request.details = std::make_shared<qzai::DeviceAgentDetails_t>(qzai::DeviceAgentDetails_t{"cam", "Camera"});
    request.sourceObject = tracked("{00000000-0000-4000-8000-000000000009}");

    const qzai::PostprocessingResult result =
        qzai::deserializePostprocessorResponse(state, request, std::span<const uint8_t>(data, size));
    for (const qzai::ObjectsByClass* classes : {&std::as_const(device->classes), &result.objects}) {
        for (const auto& [name, list] : *classes) {
            for (const auto& object : list) {
                if (!object || object->snapshot().trackId.isNull()) std::abort();
            }
        }
    }
    for (const auto& shot : result.bestShots)
        if (shot.trackId.isNull()) std::abort();
    return 0;
}
