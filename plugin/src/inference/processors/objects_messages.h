// The objects post-processor messages.
//
// Request, one MessagePack map in this key order: "Timestamp", "DeviceID",
// "DeviceName", "Objects" (class name, ascending -> array of {"ID", "x", "y",
// "width", "height", "confidence", "attributes"}), "Events" (array of {"ID",
// "Description"}), then when present "OriginalObjectID", "UserSettings",
// "ImageData" {"Height", "Width", "Layout", "Data"} (only with a frame) and
// "Tensors" (array of {"Name", "DataType", "Shape", "Data"}). Ids are the
// 38-character braced upper-case form; floats are float 32. The request is
// written from snapshots taken under each object's lock.
//
// Response: "Objects" (nil, or class -> array of entries with optional "ID",
// "NewID", box, "confidence", "skipFeatureExtraction", "attributes",
// "removeAttributes"), "Events" (nil or array), optional "BestShots". It is
// read whole first, then applied under the device mutex (looked up under
// trackedObjectsLock held shared), each object's fields under its own lock;
// ids are found through an index, so applying costs time in proportion to
// the answer. Of the entries naming an object (all classes together), the
// events and the best shots, the first 4,096 of each are used and the rest
// dropped, with one warning per answer; answers leave at most 64 attributes
// on an object. A changed
// attribute is replaced by a new Attribute, so snapshots keep what they hold.
// Identifier text that cannot be read counts as absent: the null id never
// becomes a track id. New objects join the device's class list, which is then
// cut as the tracker cuts it. Classes beyond the model's and the processor's
// are bounded per device (class_admission.h).
//
// Thread-safety: both functions may run on any number of threads.
#pragma once

#include <optional>
#include <span>

#include "external/msgpack_io.h"
#include "inference/inference_types.h"
#include "inference/postprocessing/postprocessing_result.h"

namespace qz::vms_server_plugins::analytics::qzai {

struct PostprocessingState;

// The objects request; nothing (with "Error: Failed to serialize objects for
// postprocessor\n") when the writer fails, e.g. a bin over 4 GiB.
std::optional<MessageBuffer> serializePostprocessorRequest(const InferenceInput_t& request,
                                                           const ObjectsByClass& objects, const EventList& events,
                                                           const ExternalPostprocessor_t& processor,
                                                           const TensorSet* output);

// Applies an objects response to the request's device. Reading stops at the
// first error; what was applied before stays and is returned.
PostprocessingResult deserializePostprocessorResponse(PostprocessingState& state, const InferenceInput_t& request,
                                                      std::span<const uint8_t> bytes);

}  // namespace qz::vms_server_plugins::analytics::qzai
