// How many processors this process may run on.
//
// usableProcessorCount(): the processors in the calling thread's affinity
// mask (what taskset or a container's CPU set leaves the process); when the
// mask cannot be read, the count the system reports; at least 1. Asks the
// system on every call (a system call); thread-safe; nothing throws.
#pragma once

#include <cstdint>

namespace qz::vms_server_plugins::analytics::qzai {

int32_t usableProcessorCount();

}  // namespace qz::vms_server_plugins::analytics::qzai
