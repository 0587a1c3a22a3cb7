#include "qz/sdk/analytics/helpers/consuming_device_agent.h"

#include "qz/sdk/helpers/hook_call.h"
#include "qz/sdk/helpers/string_map.h"

namespace qz::sdk::analytics {

namespace {
std::string textOf(const char* text) { return text ? text : ""; }
}  // namespace

ConsumingDeviceAgent::ConsumingDeviceAgent(const IDeviceInfo* deviceInfo)
    : m_deviceId(deviceInfo ? textOf(deviceInfo->id()) : ""),
      m_deviceName(deviceInfo ? textOf(deviceInfo->name()) : "") {
    if (!deviceInfo) sdkLog(logPrefix("_device"), "ConsumingDeviceAgent: null device info");
}

std::string ConsumingDeviceAgent::devicePrefix() const { return logPrefix("_device", m_deviceId); }

void ConsumingDeviceAgent::setHandler(IHandler* handler) { m_handler.set(handler); }

void ConsumingDeviceAgent::setSettings(const IStringMap* settings, Result<const ISettingsResponse*>* outResult) {
    callHook(devicePrefix(), "IDeviceAgent::setSettings", outResult, [&] {
        return m_settings.accept(devicePrefix(), "IDeviceAgent::setSettings", settings, [&] { return settingsReceived(); });
    });
}

void ConsumingDeviceAgent::getPluginSideSettings(Result<const ISettingsResponse*>* outResult) const {
    callHook(devicePrefix(), "IDeviceAgent::getPluginSideSettings", outResult,
        [&] { return getIntegrationSideSettings(); });
}

void ConsumingDeviceAgent::manifest(Result<const IString*>* outResult) const {
    callHook(devicePrefix(), "IDeviceAgent::manifest", outResult,
        [&]() -> Result<const IString*> { return newString(manifestString()); });
}

void ConsumingDeviceAgent::pushDataPacket(IDataPacket* dataPacket, Result<void>* outResult) {
    callHook(devicePrefix(), "IConsumingDeviceAgent::pushDataPacket", outResult, [&]() -> Result<void> {
        if (!dataPacket) return nullArgument(devicePrefix(), "IConsumingDeviceAgent::pushDataPacket", "packet");
        return doPushDataPacket(dataPacket);
    });
}

Result<void> ConsumingDeviceAgent::doPushDataPacket(IDataPacket* dataPacket) {
    auto frame = queryInterfacePtr<IUncompressedVideoFrame>(dataPacket);
    if (!frame) {
        sdkLog(devicePrefix(), "pushDataPacket: only uncompressed video frames are consumed");
        return makeError(ErrorCode::invalidParams, "not an uncompressed video frame");
    }
    if (!pushUncompressedVideoFrame(frame.get()))
        return makeError(ErrorCode::otherError, "the frame was not accepted");
    std::vector<Ptr<IMetadataPacket>> packets;
    if (!pullMetadataPackets(&packets)) return makeError(ErrorCode::otherError, "pulling metadata packets failed");
    for (const auto& packet : packets) pushMetadataPacket(packet.get());
    return {};
}

bool ConsumingDeviceAgent::pushUncompressedVideoFrame(const IUncompressedVideoFrame*) { return true; }

bool ConsumingDeviceAgent::pullMetadataPackets(std::vector<Ptr<IMetadataPacket>>*) { return true; }

void ConsumingDeviceAgent::getSettingsOnActiveSettingChange(
    const IActiveSettingChangedAction* action, Result<const IActiveSettingChangedResponse*>* outResult) {
    callHook(devicePrefix(), "IConsumingDeviceAgent2::getSettingsOnActiveSettingChange", outResult,
        [&]() -> Result<const IActiveSettingChangedResponse*> {
            if (!action) return nullArgument(devicePrefix(), "getSettingsOnActiveSettingChange", "action");
            return doGetSettingsOnActiveSettingChange(action);
        });
}

Result<const IActiveSettingChangedResponse*> ConsumingDeviceAgent::doGetSettingsOnActiveSettingChange(
    const IActiveSettingChangedAction*) {
    return makeError(ErrorCode::notImplemented, "the device agent has no active settings");
}

bool ConsumingDeviceAgent::pushMetadataPacket(IMetadataPacket* packet) {
    if (!packet) {
        sdkLog(devicePrefix(), "pushMetadataPacket: null packet");
        return false;
    }
    if (m_handler.call([&](IHandler* handler) { handler->handleMetadata(packet); })) return true;
    sdkLog(devicePrefix(), "metadata packet dropped: no handler set");
    return false;
}

bool ConsumingDeviceAgent::pushManifest(const std::string& manifest) {
    return pushManifestTo(m_handler, devicePrefix(), manifest);
}

bool ConsumingDeviceAgent::pushIntegrationDiagnosticEvent(
    IIntegrationDiagnosticEvent::Level level, const std::string& caption, const std::string& description) {
    return pushDiagnosticEventTo(m_handler, devicePrefix(), level, caption, description);
}

}  // namespace qz::sdk::analytics
