// The exchanges with a stage's external pre-processor, once per frame of the
// stage, on the inference manager's preprocessing workers.
//
// runImagePreprocessor sends an image pre-processor the frame's bytes and
// gives back the image it answers as a new frame, with the answer's own
// layout. The pixels are copied once each way: from the frame into the
// transport, and from the transport's memory into the new frame's buffer
// (read on the processor's receive thread), which comes from the
// processor's pool of answer buffers and goes back to it when the last
// holder lets the frame go. It always waits for an
// answer, whatever "NoResponse" says: such a processor has no receive thread,
// so each frame waits out the time-out and goes on unchanged.
// TensorsPreprocessor sends a tensor pre-processor the prepared input
// tensors and gives back its replacement set.
//
// Both take the processor from the stage (nothing when it has none, another
// schedule, or an exited process) and give nothing on any failure, in which
// case the worker goes on with what it had. A time-out gives up only the
// exchange's own waiter; its late answer is dropped, never taken for that of
// another request of the same frame (response_waiters.h).
//
// Thread-safety: any number of workers may run them at once; per processor
// they share its process (sends serialised inside it) and its waiters.
#pragma once

#include <cstdint>
#include <memory>

#include "records/device_agent_details.h"
#include "records/pipeline_stage.h"
#include "inference/inference_types.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct VideoFrame;

std::shared_ptr<VideoFrame> runImagePreprocessor(int64_t timestampUs, const VideoFrame& frame,
                                                 const pipeline_stage_parameters_t& stage,
                                                 const DeviceAgentDetails_t& details);

// A replacement set owned by the caller, or null.
TensorSetPtr TensorsPreprocessor(const InferenceInput_t& request, const TensorSet& tensors);

}  // namespace qz::vms_server_plugins::analytics::qzai
