// The four entry functions of the plug-in library. Everything else in the
// library is hidden (see exports.map); nothing here runs at load time.
#include <exception>

#include "engine/plugin.h"
#include "qz/sdk/entry_points.h"
#include "qz/sdk/helpers/lib_context.h"
#include "qz/sdk/helpers/log.h"
#include "qz/sdk/helpers/sdk_version.h"
#include "qz/sdk/helpers/unit_test_options.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

extern "C" {

qz::sdk::IRefCountable* createQzPlugin() {
    try {
        return new qzai::Plugin();
    } catch (const std::exception& e) {
        qz::sdk::sdkLog(qz::sdk::logPrefix(), "createQzPlugin: %s", e.what());
    } catch (...) {
        qz::sdk::sdkLog(qz::sdk::logPrefix(), "createQzPlugin: unknown exception");
    }
    return nullptr;
}

qz::sdk::ILibContext* qzLibContext() { return &qz::sdk::libContext(); }

const char* qzSdkVersion() { return qz::sdk::kSdkVersion; }

void qzSetUnitTestOptions(const qz::sdk::IStringMap* options) {
    try {
        qz::sdk::setUnitTestOptions(options);
    } catch (const std::exception& e) {
        qz::sdk::sdkLog(qz::sdk::logPrefix(), "qzSetUnitTestOptions: %s", e.what());
    }
}

}  // extern "C"
