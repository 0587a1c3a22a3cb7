#include "qz/sdk/analytics/helpers/engine.h"

#include "qz/sdk/helpers/hook_call.h"
#include "qz/sdk/helpers/string_map.h"

namespace qz::sdk::analytics {

std::string Engine::enginePrefix() const { return logPrefix("_engine"); }

void Engine::setHandler(IHandler* handler) { m_handler.set(handler); }

void Engine::setSettings(const IStringMap* settings, Result<const ISettingsResponse*>* outResult) {
    callHook(enginePrefix(), "IEngine::setSettings", outResult, [&] {
        return m_settings.accept(enginePrefix(), "IEngine::setSettings", settings, [&] { return settingsReceived(); });
    });
}

void Engine::getPluginSideSettings(Result<const ISettingsResponse*>* outResult) const {
    callHook(enginePrefix(), "IEngine::getPluginSideSettings", outResult, [&] { return getIntegrationSideSettings(); });
}

void Engine::manifest(Result<const IString*>* outResult) const {
    callHook(enginePrefix(), "IEngine::manifest", outResult,
        [&]() -> Result<const IString*> { return newString(manifestString()); });
}

void Engine::obtainDeviceAgent(const IDeviceInfo* deviceInfo, Result<IDeviceAgent*>* outResult) {
    callHook(enginePrefix(), "IEngine::obtainDeviceAgent", outResult, [&]() -> Result<IDeviceAgent*> {
        if (!deviceInfo) return nullArgument(enginePrefix(), "IEngine::obtainDeviceAgent", "device info");
        return doObtainDeviceAgent(deviceInfo);
    });
}

void Engine::getSettingsOnActiveSettingChange(
    const IActiveSettingChangedAction* action, Result<const IActiveSettingChangedResponse*>* outResult) {
    callHook(enginePrefix(), "IEngine::getSettingsOnActiveSettingChange", outResult,
        [&]() -> Result<const IActiveSettingChangedResponse*> {
            if (!action) return nullArgument(enginePrefix(), "IEngine::getSettingsOnActiveSettingChange", "action");
            return doGetSettingsOnActiveSettingChange(action);
        });
}

Result<const IActiveSettingChangedResponse*> Engine::doGetSettingsOnActiveSettingChange(
    const IActiveSettingChangedAction*) {
    return makeError(ErrorCode::notImplemented, "the engine has no active settings");
}

bool Engine::pushManifest(const std::string& manifest) { return pushManifestTo(m_handler, enginePrefix(), manifest); }

bool Engine::pushIntegrationDiagnosticEvent(
    IIntegrationDiagnosticEvent::Level level, const std::string& caption, const std::string& description) {
    return pushDiagnosticEventTo(m_handler, enginePrefix(), level, caption, description);
}

}  // namespace qz::sdk::analytics
