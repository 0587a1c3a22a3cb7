// The response key functions of response_waiters.h, apart from the receive
// loop so that they build without the process code.
#include "external/msgpack_io.h"
#include "external/response_waiters.h"

namespace qz::vms_server_plugins::analytics::qzai {

std::string makeProcessorResponseKey(const std::string& deviceId, int64_t timestamp) {
    return deviceId + "|" + std::to_string(timestamp);
}

std::optional<std::string> readProcessorResponseKey(std::span<const uint8_t> bytes) {
    MpReader reader(bytes);
    MpReader::Node root = reader.root();
    const int64_t timestamp = reader.i64(reader.find(root, "Timestamp"));
    MpReader::Node id = reader.find(root, "DeviceID");
    if (!reader.ok()) return std::nullopt;
    const std::string deviceId = reader.type(id) == MpType::Str ? std::string(reader.str(id)) : std::string();
    return makeProcessorResponseKey(deviceId, timestamp);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
