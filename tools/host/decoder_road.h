// The main job's road through the plug-in's built-in decoders: the test
// runtime answers in the raw layout of a model family, and the model's
// "RawPostprocessing" asks the plug-in to decode it (see main_job.h).
#pragma once

#include <string>

namespace qz::test_host {

// The "RawPostprocessing" JSON text for a test-runtime layout ("ssd" or
// "rtdetr"): that family, the square class, the default thresholds.
std::string decoderRoadPostprocessing(const std::string& layout);

}  // namespace qz::test_host
