// The fuzz target links the decoders alone; their log lines go nowhere.
#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

void logMessage(const char*, ...) {}
void logInfo(const char*, ...) {}

}  // namespace qz::vms_server_plugins::analytics::qzai
