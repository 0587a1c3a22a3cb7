#include "engine/library_use.h"

#include <atomic>

#include "common/ini.h"
#include "qz/sdk/helpers/lib_context.h"
#include "qz/sdk/helpers/unit_test_options.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {
std::atomic<int> g_holders{0};
}  // namespace

LibraryUse::LibraryUse() { g_holders.fetch_add(1); }

LibraryUse::~LibraryUse() {
    if (g_holders.fetch_sub(1) != 1) return;
    qz::sdk::retireLibContext();
    qz::sdk::clearUnitTestOptions();
    restartIni();
}

}  // namespace qz::vms_server_plugins::analytics::qzai
