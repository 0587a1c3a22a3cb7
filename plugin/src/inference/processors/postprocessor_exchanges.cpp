#include "inference/processors/postprocessor_exchanges.h"

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/scoped_timer.h"
#include "inference/processors/objects_messages.h"
#include "external/processor_config.h"
#include "inference/processors/processor_messages.h"
#include "external/response_waiters.h"
#include "inference/postprocessing/postprocessing_state.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

// Sends with a waiter registered in send order, and waits for the answer
// within the processor's time-out. Nothing on any failure (each logged as
// the exchange requires).
template <class Processor>
std::optional<std::vector<uint8_t>> exchange(Processor& processor, const InferenceInput_t& request,
                                             const MessageBuffer& message, ScopedTimer& timer, bool objects) {
    const std::string& deviceId = request.details ? request.details->deviceId : std::string();
    const std::string key = makeProcessorResponseKey(deviceId, request.timestampUs);
    // One deadline for the turn to send, the send and the answer.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(processor.timeoutMs);
    logInfo("Sending message to external postprocessor %s\n", processor.name.c_str());
    std::optional<ProcessorResponseWaiters::Waiter> waiter = processor.responseWaiters->sendRequest(
        key, deadline, [&] { return processor.process->sendInput(message.bytes(), deadline); });
    timer.mark("send");
    if (!waiter) return std::nullopt;
    logInfo("Waiting for response from postprocessor %s\n", processor.name.c_str());
    if (waiter->future.wait_until(deadline) != std::future_status::ready) {
        if (objects) logMessage("Warning: No response from objects postprocessor\n");
        processor.responseWaiters->removeWaiter(waiter->ticket);
        return std::nullopt;
    }
    timer.mark("wait");
    logInfo("Received response from postprocessor %s\n", processor.name.c_str());
    try {
        return waiter->future.get();
    } catch (const std::future_error&) {
        logMessage("Warning: Postprocessor %s response was never delivered\n", processor.name.c_str());
        return std::nullopt;
    }
}

template <class Processor>
ExternalProcess::Deadline sendDeadline(const Processor& processor) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(processor.timeoutMs);
}

// The stage's post-processor when it has the wanted schedule and a live
// process; null otherwise.
ExternalPostprocessor_t* usablePostprocessor(const InferenceInput_t& request, PostprocessorSchedule schedule) {
    ExternalPostprocessor_t* processor = request.stage ? request.stage->postprocessor : nullptr;
    if (!processor || !processor->process) return nullptr;
    const bool tensor = processor->schedule == PostprocessorSchedule::Tensor;
    if (tensor != (schedule == PostprocessorSchedule::Tensor)) return nullptr;
    if (processor->process->hasExited()) return nullptr;
    if (!processor->noResponse && !processor->responseWaiters) return nullptr;
    return processor;
}

}  // namespace

std::optional<PostprocessingResult> ObjectsPostprocessor(PostprocessingState& state,
                                                         const std::shared_ptr<InferenceInput_t>& request,
                                                         ObjectsByClass objects, EventList events,
                                                         const TensorSet* output) {
    if (!request) return std::nullopt;
    ExternalPostprocessor_t* processor = usablePostprocessor(*request, PostprocessorSchedule::Objects);
    if (!processor) return std::nullopt;
    ScopedTimer timer("ObjectsPostprocessor");
    std::optional<MessageBuffer> message = serializePostprocessorRequest(*request, objects, events, *processor, output);
    objects.clear();
    events.clear();
    if (!message) return std::nullopt;
    timer.mark("serialize");
    if (processor->noResponse) {
        processor->process->sendInput(message->bytes(), sendDeadline(*processor));
        timer.mark("send");
        return std::nullopt;
    }
    const std::optional<std::vector<uint8_t>> response = exchange(*processor, *request, *message, timer, true);
    message.reset();
    if (!response) return std::nullopt;
    PostprocessingResult result = deserializePostprocessorResponse(state, *request, *response);
    timer.mark("deserialize");
    if (result.objects.empty() && result.events.empty() && result.bestShots.empty()) return std::nullopt;
    return result;
}

TensorSetPtr TensorsPostprocessor(PostprocessingState&, const std::shared_ptr<InferenceInput_t>& request,
                                  const TensorSet* output) {
    if (!request || !output) return nullptr;
    ExternalPostprocessor_t* processor = usablePostprocessor(*request, PostprocessorSchedule::Tensor);
    if (!processor) return nullptr;
    ScopedTimer timer("TensorsPostprocessor");
    static const std::map<std::string, std::string> kNoSettings;
    std::optional<MessageBuffer> message = serializeTensorsMessage(
        *request, *output, request->stage ? request->stage->postprocessorSettings : kNoSettings);
    if (!message) return nullptr;
    timer.mark("serialize");
    if (processor->noResponse) {
        processor->process->sendInput(message->bytes(), sendDeadline(*processor));
        timer.mark("send");
        return nullptr;
    }
    const std::optional<std::vector<uint8_t>> response = exchange(*processor, *request, *message, timer, false);
    message.reset();
    if (!response) return nullptr;
    TensorSetPtr replacement = parseTensorsMessage(response->data(), response->size());
    timer.mark("deserialize");
    return replacement;
}

void installPostprocessorExchanges(PostprocessingState& state) {
    state.externalExchanges.tensors = TensorsPostprocessor;
    state.externalExchanges.objects = ObjectsPostprocessor;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
