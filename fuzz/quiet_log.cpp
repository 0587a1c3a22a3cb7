// The fuzz targets link the code under test alone; its log lines go nowhere
// and profiling is off.
#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

void logMessage(const char*, ...) {}
void logInfo(const char*, ...) {}
bool profilingEnabled() { return false; }

}  // namespace qz::vms_server_plugins::analytics::qzai
