// qzai::Plugin: the plug-in object createQzPlugin returns (the integration).
//
// Gives the host the integration manifest and, on request, the engine:
// doObtainEngine creates the data directory ("qz_kelvane" under the utility
// provider's home directory, which must be absolute and not empty), reads the configuration, starts the log with
// the prefix "AI Plugin: " and constructs the engine. Host calls are
// serialised by the host; the plug-in outlives its engine.
#pragma once

#include <string>

#include "engine/library_use.h"
#include "qz/sdk/analytics/helpers/integration.h"

namespace qz::vms_server_plugins::analytics::qzai {

inline constexpr const char* kDataDirectoryName = "qz_kelvane";
inline constexpr const char* kLogPrefix = "AI Plugin: ";

class Plugin final : public qz::sdk::analytics::Integration {
private:
    LibraryUse m_libraryUse;

protected:
    std::string manifestString() const override;
    qz::sdk::Result<qz::sdk::analytics::IEngine*> doObtainEngine() override;
};

}  // namespace qz::vms_server_plugins::analytics::qzai
