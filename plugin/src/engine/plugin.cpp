#include "engine/plugin.h"

#include <filesystem>

#include <nlohmann/json.hpp>

#include "common/ini.h"
#include "common/json_utils.h"
#include "common/log.h"
#include "engine/engine.h"
#include "qz/sdk/helpers/error.h"
#include "qz/sdk/helpers/unit_test_options.h"

namespace qz::vms_server_plugins::analytics::qzai {

std::string Plugin::manifestString() const {
    nlohmann::ordered_json manifest;
    manifest["id"] = "qz.qzai";
    manifest["name"] = "QZ AI Plugin";
    manifest["description"] = "Runs AI models on camera frames and reports objects and events.";
    manifest["version"] = QZAI_PLUGIN_VERSION;
    manifest["vendor"] = "QZ";
    return jsonDocToString(std::move(manifest));
}

qz::sdk::Result<qz::sdk::analytics::IEngine*> Plugin::doObtainEngine() {
    const qz::sdk::UtilityProvider provider = utilityProvider();
    const std::string home = provider.homeDir();
    if (home.empty()) {
        return qz::sdk::makeError(qz::sdk::ErrorCode::internalError, "The host reports no home directory.");
    }
    // A relative home would put every data path below whatever the working
    // folder happens to be.
    if (!std::filesystem::path(home).is_absolute()) {
        return qz::sdk::makeError(qz::sdk::ErrorCode::internalError,
                                  "The host reports a relative home directory: " + home);
    }
    const std::string dataDirectory = (std::filesystem::path(home) / kDataDirectoryName).string();
    std::error_code ec;
    std::filesystem::create_directories(dataDirectory, ec);
    if (ec) {
        return qz::sdk::makeError(qz::sdk::ErrorCode::internalError,
                              "Could not create " + dataDirectory + ": " + ec.message());
    }
    const std::string iniPath = qz::sdk::unitTestOption(qz::sdk::kUnitTestOptionIniPath);
    if (!iniPath.empty()) setIniPath(iniPath);
    else setIniDirectory(dataDirectory);
    (void)ini();
    startLog(dataDirectory, kLogPrefix);
    return new Engine(this, provider, dataDirectory);
}

}  // namespace qz::vms_server_plugins::analytics::qzai
