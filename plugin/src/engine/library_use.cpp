#include "engine/library_use.h"

#include <mutex>

#include "common/ini.h"
#include "inference/preprocessing/input_tensors.h"
#include "platform/environment.h"
#include "qz/sdk/helpers/lib_context.h"
#include "qz/sdk/helpers/unit_test_options.h"

namespace qz::vms_server_plugins::analytics::qzai {

namespace {
// The holders are counted and the state reset under one lock, so that a use
// starting meanwhile never sees half of the reset nor has its start undone.
struct LibraryHolders {
    std::mutex mutex;
    int count = 0;
};

LibraryHolders& libraryHolders() {
    static LibraryHolders holders;
    return holders;
}
}  // namespace

LibraryUse::LibraryUse() {
    LibraryHolders& holders = libraryHolders();
    std::lock_guard<std::mutex> lock(holders.mutex);
    if (holders.count++ == 0) qz::sdk::claimUnitTestOptions();
}

LibraryUse::~LibraryUse() {
    LibraryHolders& holders = libraryHolders();
    std::lock_guard<std::mutex> lock(holders.mutex);
    if (--holders.count != 0) return;
    qz::sdk::retireLibContext();
    qz::sdk::retireUnitTestOptions();
    restartIni();
    forgetInputWarnings();
    ProcessEnvironment::forgetCurrent();
}

}  // namespace qz::vms_server_plugins::analytics::qzai
