// Region masks: the polygons of a stage that decide which tracked objects of
// a frame are passed on to the later rules and the packets.
//
// Until the mask rule lands every object passes.
#pragma once

#include <vector>

#include "engine/records.h"
#include "inference/postprocessing/qzai_object.h"

namespace qz::vms_server_plugins::analytics::qzai {

// The objects of one class that pass the stage's masks, in the order given.
QzAIObjectList filterObjectsByMask(const QzAIObjectList& objects, const std::vector<InputMask_t>& masks);

}  // namespace qz::vms_server_plugins::analytics::qzai
