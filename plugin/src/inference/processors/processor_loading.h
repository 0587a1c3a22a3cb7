// Loading a road's external post-processors: the configured processors of the
// post-processing state's root folder, then its dumping cache.
//
// Called once per post-processing state before any frame reaches it; not
// thread-safe against users of the state.
#pragma once

namespace qz::vms_server_plugins::analytics::qzai {

struct PostprocessingState;

// Reads the post-processor file below the state's root folder into its map.
void loadExternalPostprocessors(PostprocessingState& state);
// The post-processors, then the dumping cache.
void initExternalPostprocessors(PostprocessingState& state);

}  // namespace qz::vms_server_plugins::analytics::qzai
