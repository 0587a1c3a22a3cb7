// qz::sdk::analytics::ConsumingDeviceAgent: the base class of a device agent
// that consumes the host's frames (IConsumingDeviceAgent2, answering also to
// IConsumingDeviceAgent and IDeviceAgent).
//
// It keeps the camera's ids, the host's handler and the last settings the
// host sent, and calls the hooks derived classes implement:
//   manifestString()             - the device-agent manifest (JSON text);
//   settingsReceived()           - after new settings were stored; answers
//                                  the settings response (null: none);
//   getIntegrationSideSettings() - the settings the agent reports;
//   doPushDataPacket(packet)     - the default hands a frame to
//                                  pushUncompressedVideoFrame, then pushes what
//                                  pullMetadataPackets returns;
//   pushUncompressedVideoFrame(frame) - the frame is borrowed for the call; keep
//                                  it with Ptr<...>::share. false = refused;
//   pullMetadataPackets(out)     - packets ready now (default: none);
//   doGetSettingsOnActiveSettingChange(action) - a button was used.
// To the host: pushMetadataPacket, pushManifest, pushIntegrationDiagnosticEvent,
// serialised under the handler's mutex, callable from any thread. Exceptions
// from hooks are logged and reported as internalError.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "qz/sdk/helpers/handler_slot.h"
#include "qz/sdk/helpers/ref_countable.h"
#include "qz/sdk/helpers/settings_store.h"

namespace qz::sdk::analytics {

class ConsumingDeviceAgent : public RefCountable<IConsumingDeviceAgent2> {
public:
    void setHandler(IHandler* handler) override;
    void setSettings(const IStringMap* settings, Result<const ISettingsResponse*>* outResult) override;
    void getPluginSideSettings(Result<const ISettingsResponse*>* outResult) const override;
    void manifest(Result<const IString*>* outResult) const override;
    void pushDataPacket(IDataPacket* dataPacket, Result<void>* outResult) override;
    void getSettingsOnActiveSettingChange(
        const IActiveSettingChangedAction* action, Result<const IActiveSettingChangedResponse*>* outResult) override;

    const std::string& deviceId() const { return m_deviceId; }
    const std::string& deviceName() const { return m_deviceName; }
    std::map<std::string, std::string> currentSettings() const { return m_settings.values(); }
    std::string settingValue(const std::string& key) const { return m_settings.value(key); }

    // The handler receives the packet (borrowed for the call). False with a
    // log line when the packet is null or no handler is set.
    bool pushMetadataPacket(IMetadataPacket* packet);
    template <class T>
    bool pushMetadataPacket(const Ptr<T>& packet) {
        return pushMetadataPacket(static_cast<IMetadataPacket*>(packet.get()));
    }
    bool pushManifest(const std::string& manifest);
    bool pushIntegrationDiagnosticEvent(
        IIntegrationDiagnosticEvent::Level level, const std::string& caption, const std::string& description);

    // "<context name>_device_<device id>", the prefix of this agent's SDK lines.
    std::string devicePrefix() const;

protected:
    // deviceInfo is read, not kept; null gives an agent with empty ids (and a log line).
    explicit ConsumingDeviceAgent(const IDeviceInfo* deviceInfo);

    virtual std::string manifestString() const = 0;
    virtual Result<const ISettingsResponse*> settingsReceived() { return nullptr; }
    virtual Result<const ISettingsResponse*> getIntegrationSideSettings() const { return nullptr; }
    virtual Result<void> doPushDataPacket(IDataPacket* dataPacket);
    virtual bool pushUncompressedVideoFrame(const IUncompressedVideoFrame* videoFrame);
    virtual bool pullMetadataPackets(std::vector<Ptr<IMetadataPacket>>* metadataPackets);
    virtual Result<const IActiveSettingChangedResponse*> doGetSettingsOnActiveSettingChange(
        const IActiveSettingChangedAction* action);

private:
    const std::string m_deviceId;
    const std::string m_deviceName;
    HandlerSlot<IHandler> m_handler;
    SettingsStore m_settings;
};

}  // namespace qz::sdk::analytics
