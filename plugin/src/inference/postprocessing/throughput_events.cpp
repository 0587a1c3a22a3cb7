#include "inference/postprocessing/throughput_events.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "common/log.h"
#include "common/text_utils.h"
#include "inference/postprocessing/postprocessing_state.h"
#include "records/setting_keys.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

constexpr int64_t kEngineLogIntervalNs = 1000000000;
constexpr const char* kScoresPrefix = "scores-";

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Claims the engine log line for `now` when the last one is at least a
// second old; exactly one of several concurrent callers wins.
bool claimEngineLogLine(std::atomic<int64_t>& lastLogNs, int64_t now) {
    int64_t last = lastLogNs.load();
    while (true) {
        int64_t elapsed = 0;
        if (__builtin_sub_overflow(now, last, &elapsed)) elapsed = last < 0 ? kEngineLogIntervalNs : -1;
        if (elapsed < kEngineLogIntervalNs) return false;
        if (lastLogNs.compare_exchange_weak(last, now)) return true;
    }
}

const Tensor* firstScoresTensor(const TensorSet* set) {
    if (!set || !set->tensors) return nullptr;
    for (uint32_t i = 0; i < set->count; ++i) {
        const Tensor& tensor = set->tensors[i];
        if (tensor.name && std::strncmp(tensor.name, kScoresPrefix, std::strlen(kScoresPrefix)) == 0) return &tensor;
    }
    return nullptr;
}

EventPtr makeEvent(const char* typeId, bool active, const char* caption, std::string description) {
    EventPtr event = qz::sdk::analytics::createEventMetadata();
    event->setTypeId(typeId);
    event->setIsActive(active);
    event->setCaption(caption);
    event->setDescription(std::move(description));
    return event;
}

}  // namespace

std::string rateText(double rate) {
    if (std::isnan(rate)) return "0";
    // 2^63 is exactly representable; anything at or beyond it saturates.
    constexpr double kLimit = 9223372036854775808.0;
    if (rate >= kLimit) return std::to_string(std::numeric_limits<int64_t>::max());
    if (rate <= -kLimit) return std::to_string(std::numeric_limits<int64_t>::min());
    return std::to_string(static_cast<int64_t>(rate));
}

EventPtr reportThroughput(PostprocessingState& state, const InferenceOutput& input) {
    if (!input.reportThroughput) return {};
    if (claimEngineLogLine(state.lastThroughputLogNs, steadyNowNs())) {
        logMessage("Engine throughput: [Output/Input] %0.2f / %0.2f \n", input.engineOutputRate,
                   input.engineInputRate);
    }
    std::string description = "\nDevice throughput: " + rateText(input.deviceOutputRate) + " / " +
                              rateText(input.deviceInputRate) + " Inferences/s\nServer throughput: " +
                              rateText(input.engineOutputRate) + " / " + rateText(input.engineInputRate) +
                              " Inferences/s\n";
    return makeEvent(event_types::kFps, false, "Performance", std::move(description));
}

EventPtr processScores(PostprocessingState& /*state*/, const std::shared_ptr<InferenceInput_t>& request,
                       const TensorSet* set) {
    const Tensor* tensor = firstScoresTensor(set);
    if (!tensor) return {};
    const ModelDetails_t* model = request && request->stage ? request->stage->model.get() : nullptr;
    std::vector<std::string> parsed;
    const std::vector<std::string>* classes = &parsed;
    if (model && model->scoresOutputName == tensor->name) {
        classes = &model->scoresClasses;
    } else {
        logInfo("Detected changed scores output: %s\n", tensor->name);
        parsed = parseClassNames(tensor->name);
    }

    const size_t scores = static_cast<size_t>(tensor->byteSize / sizeof(float));
    if (scores != classes->size()) {
        logMessage("Error! Tensor output size: %zu does not match expected size: %zu\n", scores, classes->size());
        return {};
    }
    if (classes->empty() || !tensor->data) return {};

    const auto* bytes = static_cast<const unsigned char*>(tensor->data);
    size_t best = scores;
    float bestScore = 0.0f;
    for (size_t i = 0; i < scores; ++i) {
        float score;
        std::memcpy(&score, bytes + i * sizeof(float), sizeof(float));
        if (std::isnan(score)) continue;
        if (best == scores || score > bestScore) best = i, bestScore = score;
    }
    if (best == scores) return {};
    return makeEvent(event_types::kCategory, true, "Category detected", "\n" + (*classes)[best] + "\n");
}

}  // namespace qz::vms_server_plugins::analytics::qzai
