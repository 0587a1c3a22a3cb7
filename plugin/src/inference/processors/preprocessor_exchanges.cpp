#include "inference/processors/preprocessor_exchanges.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/scoped_timer.h"
#include "external/processor_config.h"
#include "inference/processors/processor_messages.h"
#include "external/response_waiters.h"
#include "inference/video_frame.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {

ExternalPreprocessor_t* usablePreprocessor(const pipeline_stage_parameters_t* stage, PreprocessorSchedule schedule) {
    ExternalPreprocessor_t* processor = stage ? stage->preprocessor : nullptr;
    if (!processor || !processor->process || processor->schedule != schedule) return nullptr;
    if (processor->process->hasExited()) return nullptr;
    return processor;
}

// The answer, or nothing when the promise was dropped.
template <class T>
std::optional<T> take(std::future<T>& future) {
    try {
        return future.get();
    } catch (const std::future_error&) {
        return std::nullopt;
    }
}

}  // namespace

std::shared_ptr<VideoFrame> runImagePreprocessor(int64_t timestampUs, const VideoFrame& frame,
                                                 const pipeline_stage_parameters_t& stage,
                                                 const DeviceAgentDetails_t& details) {
    ExternalPreprocessor_t* processor = usablePreprocessor(&stage, PreprocessorSchedule::Image);
    if (!processor) return nullptr;
    ImageMessageView image;
    image.timestamp = timestampUs;
    image.deviceId = details.deviceId;
    image.deviceName = details.deviceName;
    image.height = static_cast<uint64_t>(std::max<int64_t>(frame.height(), 0));
    image.width = static_cast<uint64_t>(std::max<int64_t>(frame.width(), 0));
    image.layout = static_cast<int32_t>(frame.format());
    image.data = frame.data();
    image.userSettings = &stage.preprocessorSettings;
    // The pixels go from the frame straight into the transport, and come back
    // from the transport's memory straight into the replacement's buffer.
    std::optional<ImageRequest> request = writeImageRequest(image);
    if (!request) return nullptr;
    // One deadline for the turn to send, the send and the answer.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(processor->timeoutMs);

    // The answer's frame is made on the receive thread, its pixels copied
    // straight from the transport into a buffer of the processor's pool.
    auto makeFrame = [pool = processor->answerBuffers](std::span<const uint8_t> response) {
        std::span<const uint8_t> pixels;
        const std::optional<ImageMessage> answer = parseImageMessage(response, &pixels);
        if (!answer) return std::shared_ptr<VideoFrame>();
        auto made = std::make_shared<VideoFrame>(pixels, static_cast<int64_t>(answer->width),
                                                 static_cast<int64_t>(answer->height),
                                                 static_cast<uint32_t>(answer->layout), pool);
        if (made->data().size() != pixels.size()) return std::shared_ptr<VideoFrame>();  // no buffer
        return made;
    };
    auto waiter = processor->responseWaiters->sendRequest(
        makeProcessorResponseKey(details.deviceId, timestampUs), deadline,
        [&] { return processor->process->sendInput(request->pieces(), deadline); }, makeFrame);
    if (!waiter) {
        logMessage("Warning! Failed to send to preprocessor: %s\n", processor->name.c_str());
        return nullptr;
    }
    request.reset();
    if (waiter->future.wait_until(deadline) != std::future_status::ready) {
        logMessage("Warning! Timed out waiting for response from preprocessor: %s\n", processor->name.c_str());
        processor->responseWaiters->removeWaiter(waiter->ticket);
        return nullptr;
    }
    std::optional<std::shared_ptr<VideoFrame>> answer = take(waiter->future);
    return answer ? std::move(*answer) : nullptr;
}

TensorSetPtr TensorsPreprocessor(const InferenceInput_t& request, const TensorSet& tensors) {
    ExternalPreprocessor_t* processor = usablePreprocessor(request.stage, PreprocessorSchedule::Tensor);
    if (!processor) return nullptr;
    ScopedTimer timer("TensorsPreprocessor");
    std::optional<MessageBuffer> message = serializeTensorsMessage(request, tensors, request.stage->preprocessorSettings);
    if (!message) return nullptr;
    timer.mark("serialize");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(processor->timeoutMs);
    if (processor->noResponse) {
        logInfo("Sending message to external preprocessor %s\n", processor->name.c_str());
        processor->process->sendInput(message->bytes(), deadline);
        timer.mark("send");
        return nullptr;
    }
    const std::string deviceId = request.details ? request.details->deviceId : std::string();
    logInfo("Sending message to external preprocessor %s\n", processor->name.c_str());
    std::optional<ProcessorResponseWaiters::Waiter> waiter = processor->responseWaiters->sendRequest(
        makeProcessorResponseKey(deviceId, request.timestampUs), deadline,
        [&] { return processor->process->sendInput(message->bytes(), deadline); });
    timer.mark("send");
    message.reset();
    if (!waiter) return nullptr;
    logInfo("Waiting for response from preprocessor %s\n", processor->name.c_str());
    if (waiter->future.wait_until(deadline) != std::future_status::ready) {
        logMessage("Warning: No response from tensor preprocessor\n");
        processor->responseWaiters->removeWaiter(waiter->ticket);
        return nullptr;
    }
    timer.mark("wait");
    logInfo("Received response from preprocessor %s\n", processor->name.c_str());
    std::optional<std::vector<uint8_t>> response = take(waiter->future);
    if (!response) return nullptr;
    TensorSetPtr replacement = parseTensorsMessage(response->data(), response->size());
    timer.mark("deserialize");
    return replacement;
}

}  // namespace qz::vms_server_plugins::analytics::qzai
