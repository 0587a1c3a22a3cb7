// qz::sdk::analytics::Engine: the base class of the plug-in's engine
// (IEngine).
//
// It keeps the host's handler and the last settings the host sent, and calls
// the hooks derived classes implement:
//   manifestString()                      - the engine manifest (JSON text);
//   doObtainDeviceAgent(deviceInfo)       - a new device agent with one
//                                           reference for the host (deviceInfo
//                                           is never null here);
//   settingsReceived()                    - after new settings were stored;
//                                           answers the settings response
//                                           (null: nothing to report);
//   getIntegrationSideSettings()          - the settings the engine reports;
//   doGetSettingsOnActiveSettingChange()  - a button was used.
// To the host: pushManifest, pushIntegrationDiagnosticEvent (serialised under
// the handler's mutex). Exceptions from hooks are logged and reported as
// internalError. All host calls are thread-safe.
#pragma once

#include <map>
#include <string>

#include "qz/sdk/helpers/handler_slot.h"
#include "qz/sdk/helpers/ref_countable.h"
#include "qz/sdk/helpers/settings_store.h"

namespace qz::sdk::analytics {

class Engine : public RefCountable<IEngine> {
public:
    void setHandler(IHandler* handler) override;
    void setSettings(const IStringMap* settings, Result<const ISettingsResponse*>* outResult) override;
    void getPluginSideSettings(Result<const ISettingsResponse*>* outResult) const override;
    void manifest(Result<const IString*>* outResult) const override;
    void obtainDeviceAgent(const IDeviceInfo* deviceInfo, Result<IDeviceAgent*>* outResult) override;
    void getSettingsOnActiveSettingChange(
        const IActiveSettingChangedAction* action, Result<const IActiveSettingChangedResponse*>* outResult) override;

    // The settings the host sent last (empty before the first send).
    std::map<std::string, std::string> currentSettings() const { return m_settings.values(); }
    std::string settingValue(const std::string& key) const { return m_settings.value(key); }

    // False (with a log line) when the host has set no handler.
    bool pushManifest(const std::string& manifest);
    bool pushIntegrationDiagnosticEvent(
        IIntegrationDiagnosticEvent::Level level, const std::string& caption, const std::string& description);

    // "<context name>_engine", the prefix of this engine's SDK log lines.
    std::string enginePrefix() const;

protected:
    Engine() = default;

    virtual std::string manifestString() const = 0;
    virtual Result<IDeviceAgent*> doObtainDeviceAgent(const IDeviceInfo* deviceInfo) = 0;
    virtual Result<const ISettingsResponse*> settingsReceived() { return nullptr; }
    virtual Result<const ISettingsResponse*> getIntegrationSideSettings() const { return nullptr; }
    virtual Result<const IActiveSettingChangedResponse*> doGetSettingsOnActiveSettingChange(
        const IActiveSettingChangedAction* action);

private:
    HandlerSlot<IHandler> m_handler;
    SettingsStore m_settings;
};

}  // namespace qz::sdk::analytics
