#include "inference/chaining.h"

#include <algorithm>
#include <functional>

#include "common/log.h"
#include "inference/chain_tensors.h"
#include "inference/inference_manager.h"
#include "inference/preprocessing/input_tensors.h"
#include "inference/video_frame.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// The manager's private hand-off to the engine, bound by chaining.
using SendChild = std::function<void(std::shared_ptr<InferenceInput_t>, TensorSetPtr)>;

std::shared_ptr<InferenceInput_t> childRequest(const InferenceInput_t& parent, const pipeline_stage_parameters_t& child,
                                               std::shared_ptr<QzAIObject_t> sourceObject, FrameRegion_t region) {
    auto request = std::make_shared<InferenceInput_t>();
    request->timestampUs = parent.timestampUs;
    request->frame = parent.frame;
    request->frameWidth = parent.frameWidth;
    request->frameHeight = parent.frameHeight;
    request->settings = parent.settings;
    request->details = parent.details;
    request->stage = &child;
    request->sourceObject = std::move(sourceObject);
    request->region = region;
    request->callback = parent.callback;
    return request;
}

// The child's input cut from the parent's frame; empty without a frame.
TensorSetPtr cutFromFrame(const InferenceInput_t& parent, const pipeline_stage_parameters_t& child,
                          const float (&cropBox)[4]) {
    if (!parent.frame) return {};
    return qzai_module_video_preprocessing(*parent.frame, child, cropBox);
}

float clipToFrame(float value) {
    return std::clamp(value, 0.0f, 1.0f);
}

void chainDirect(const SendChild& send, const InferenceInput_t& parent, const pipeline_stage_parameters_t& child,
                 const TensorSet* output) {
    static const std::vector<NamedTensorDetails_t> kNone;
    const auto& outputs = parent.stage->model ? parent.stage->model->namedOutputs : kNone;
    const auto& inputs = child.model ? child.model->namedInputs : kNone;
    if (const NamedTensorDetails_t* unmatched = firstUnmatchedOutput(outputs, inputs)) {
        logMessage("Warning! Couldn't find a match for tensor: %s to chain directly.\n", unmatched->name.c_str());
        return;
    }
    TensorSetPtr copy = output ? copyTensorSet(*output) : TensorSetPtr();
    if (!copy) {
        logMessage("Warning! Could not copy the output of %s for its direct chain.\n", parent.stage->key.c_str());
        return;
    }
    send(childRequest(parent, child, nullptr, FrameRegion_t{}), std::move(copy));
}

void chainFeatureExtraction(const SendChild& send, const InferenceInput_t& parent,
                            const pipeline_stage_parameters_t& child, const PostprocessingResult& result) {
    const auto objects = result.objects.find(child.featureExtractionClass);
    if (objects == result.objects.end()) return;
    for (const QzAIObjectPtr& object : objects->second) {
        if (!object) continue;
        const QzAIObjectData_t seen = object->snapshot();
        if (seen.skipFeatureExtraction) continue;
        // Cut and placed within the frame: preprocessing clamps the pixels
        // anyway, and the region must say where they came from.
        const float box[4] = {clipToFrame(seen.box.x), clipToFrame(seen.box.y),
                              clipToFrame(seen.box.x + seen.box.width), clipToFrame(seen.box.y + seen.box.height)};
        TensorSetPtr input;
        if (box[2] > box[0] && box[3] > box[1]) input = cutFromFrame(parent, child, box);
        if (!input) {
            logMessage("Warning: Failed to preprocess input for feature extraction chain\n");
            continue;
        }
        send(childRequest(parent, child, object, regionOfCropBox(box)), std::move(input));
    }
}

// False when the remaining children must not be processed.
bool chainConditional(const SendChild& send, const InferenceInput_t& parent,
                      const pipeline_stage_parameters_t& child, const TensorSet* output) {
    if (!conditionalTrigger(output)) {
        logInfo("Trigger is false, skipping conditional chain\n");
        return true;
    }
    logInfo("Trigger is true, processing conditional chain\n");
    TensorSetPtr input = cutFromFrame(parent, child, child.cropBox);
    if (!input) {
        logMessage("Warning: Failed to preprocess input for conditional chain\n");
        return false;
    }
    // The region is where the input's pixels come from: the child's own crop box.
    send(childRequest(parent, child, nullptr, regionOfCropBox(child.cropBox)), std::move(input));
    return true;
}

}  // namespace

void chaining(InferenceManager& manager, std::shared_ptr<InferenceInput_t> parent, TensorSetPtr output,
              const PostprocessingResult& result) {
    if (!parent || !parent->stage) return;
    const SendChild send = [&manager](std::shared_ptr<InferenceInput_t> request, TensorSetPtr tensors) {
        manager.sendChildInput(std::move(request), std::move(tensors));
    };
    for (const pipeline_stage_parameters_t& child : parent->stage->children) {
        switch (child.chainMethod) {
            case ChainMethod::Direct:
                chainDirect(send, *parent, child, output.get());
                break;
            case ChainMethod::FeatureExtraction:
                chainFeatureExtraction(send, *parent, child, result);
                break;
            case ChainMethod::Conditional:
                if (!chainConditional(send, *parent, child, output.get())) return;
                break;
            default:
                break;
        }
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
