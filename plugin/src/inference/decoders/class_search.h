// The class search over channel-major scores (class c of proposal i at
// c x stride + i), shared by the decoders whose outputs are laid out that
// way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qz::vms_server_plugins::analytics::qzai {

// For proposals [begin, end): best[i] and cls[i] take the first class whose
// score is strictly above the current best[i] (callers start best at the
// threshold and cls at -1). NaN scores never win. Writes only [begin, end).
void searchClassesChannelMajor(int32_t begin, int32_t end, int32_t classes, const float* scores,
                               size_t stride, float* best, int32_t* cls);

}  // namespace qz::vms_server_plugins::analytics::qzai
