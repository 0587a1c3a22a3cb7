#include "common/json_utils.h"

#include "common/log.h"

namespace qz::vms_server_plugins::analytics::qzai {

std::string jsonDocToString(nlohmann::ordered_json doc) {
    try {
        // Invalid UTF-8 in one text (a model name, a notice) must not blank
        // the whole document: such bytes are written as U+FFFD.
        return doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    } catch (const nlohmann::ordered_json::exception&) {
        logMessage("Error creating settings model string\n");
        return "{}";
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
