// The TensorSet one pipeline stage hands to the runtime library for one
// frame: the image input (preprocessed pixels) and, when the model declares
// them, the constant "mask-" input and the "nms_sensitivity-" input.
//
// Record order: [0] image (name copied from the chosen input, its declared
// element type, its declared rank with the low 32 bits of each dimension,
// byteSize = bytes filled); [1] "mask-" when declared (its element type,
// shape [d0, d1], d0 x d1 bytes of 1; a missing or negative dimension counts
// as 0); then "nms_sensitivity-" when declared (float32, shape [1], the
// stage's NMS threshold). The image input is the only named input, else the
// input named exactly "image-"; mask and NMS inputs are looked for only when
// the model has two or more inputs. The 8-bit road (interleaved bytes) is
// taken for the "DEEPX" runtime or a uint8 image input, the float road
// otherwise.
//
// Ownership: every block (set, tensor array, names, shapes, data) is a
// separate malloc block, names by strdup, as the runtime boundary requires;
// the returned TensorSetPtr frees them all unless released to the runtime.
//
// Failures give an empty TensorSetPtr: no image input ("Warning! Model %s
// does not support image input!\n"), an image or mask side beyond 32768, or
// inputs of more than 256 MiB together (a warning each, logged once per
// model declaration: they recur on every frame), an unusable frame or a
// failed allocation (nothing logged here; the caller reports it, e.g.
// "Warning! Could not preprocess frame!\n" on the direct road). Nothing is
// allocated for a declaration that is refused.
//
// Thread-safe: reads its arguments only.
#pragma once

#include <span>

#include "records/pipeline_stage.h"
#include "inference/inference_types.h"
#include "inference/preprocessing/yuv_planes.h"

namespace qz::sdk::analytics {
class IUncompressedVideoFrame;
}

namespace qz::vms_server_plugins::analytics::qzai {

struct VideoFrame;

// Whether the stage's model declares inputs that can be made (the checks that
// need no frame); a refusal is logged as above, once.
bool hasUsableInputs(const pipeline_stage_parameters_t& stage);
// Forgets which refusals were logged (when a host has finished with the
// library), so that the next host's log tells them again.
void forgetInputWarnings();

// Direct road: from the host's YUV 4:2:0 frame. cropBox is x0, y0, x1, y1 as
// fractions of the frame (the stage's own crop box or one the caller made).
TensorSetPtr prepareRuntimeInput(const qz::sdk::analytics::IUncompressedVideoFrame* frame,
                                 const pipeline_stage_parameters_t& stage,
                                 std::span<const float, 4> cropBox);
TensorSetPtr prepareRuntimeInput(const YuvPlanes& frame, const pipeline_stage_parameters_t& stage,
                                 std::span<const float, 4> cropBox);

// Frame road: from a VideoFrame (the worker's frame or an external
// pre-processor's image). Logs "Notice: qzai_module_video_preprocessing ##\n"
// at the verbose level.
TensorSetPtr qzai_module_video_preprocessing(const VideoFrame& frame,
                                             const pipeline_stage_parameters_t& stage,
                                             std::span<const float, 4> cropBox);

}  // namespace qz::vms_server_plugins::analytics::qzai
