#include "inference/postprocessing/postprocessing.h"

#include <algorithm>
#include <cstdint>

#include "common/scoped_timer.h"
#include "inference/decoders/decoders.h"
#include "inference/postprocessing/dumping_detection.h"
#include "inference/postprocessing/line_crossing.h"
#include "inference/postprocessing/object_counting.h"
#include "inference/postprocessing/process_objects.h"
#include "inference/postprocessing/region_masks.h"
#include "inference/postprocessing/throughput_events.h"

namespace qz::vms_server_plugins::analytics::qzai {
namespace {

// Model input sizes are unsigned 64-bit in the model details; the decoders
// take int32 geometry, so larger values saturate instead of wrapping.
int32_t toDecoderSize(uint64_t value) {
    return static_cast<int32_t>(std::min<uint64_t>(value, INT32_MAX));
}

}  // namespace

PostprocessingResult Postprocessing(PostprocessingState& state, InferenceOutput& input) {
    ScopedTimer timer("Postprocessing");
    const std::shared_ptr<InferenceInput_t>& request = input.request;
    const pipeline_stage_parameters_t* stage = request ? request->stage : nullptr;
    const ModelDetails_t* model = stage ? stage->model.get() : nullptr;

    if (state.externalExchanges.tensors) {
        if (TensorSetPtr replaced = state.externalExchanges.tensors(state, request, input.output.get()))
            input.output = std::move(replaced);
    }
    timer.mark("tensor postprocessors");

    // One preparation for the whole output, even if the model is prepared
    // again meanwhile.
    const std::shared_ptr<const ModelPreparation> preparation = model ? model->preparation() : nullptr;
    if (preparation && preparation->builtInDecoding) {
        TensorSet* decoded = runDetectionPostprocessor(
            static_cast<int32_t>(preparation->modelArchitecture), input.output.get(), preparation->confidenceThreshold,
            preparation->iouThreshold, toDecoderSize(model->input.width), toDecoderSize(model->input.height));
        input.output.reset(decoded);
        timer.mark("decode raw postprocessing");
    }

    PostprocessingResult result;
    const ObjectsByClass tracked = process_objects(state, request, input.output.get(), preparation.get());
    timer.mark("process objects");

    static const std::vector<InputMask_t> kNoMasks;
    const std::vector<InputMask_t>& masks = stage ? stage->masks : kNoMasks;
    for (const auto& [className, objects] : tracked) {
        QzAIObjectList kept = filterObjectsByMask(objects, masks);
        if (!kept.empty()) result.objects.emplace(className, std::move(kept));
    }
    timer.mark("filter objects");

    auto append = [&result](EventPtr event) {
        if (event) result.events.push_back(std::move(event));
    };
    append(reportThroughput(state, input));
    timer.mark("process throughput");
    append(processScores(state, request, input.output.get()));
    append(detectLineCrossing(state, request, result.objects));
    append(countObjects(state, request, result.objects));
    append(detectDumping(state, request, result.objects));

    if (state.externalExchanges.objects) {
        std::optional<PostprocessingResult> answer =
            state.externalExchanges.objects(state, request, result.objects, result.events, input.output.get());
        if (answer) result = std::move(*answer);
    }
    return result;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
