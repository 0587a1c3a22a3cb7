// Every interface that crosses the host boundary, with its interface id.
//
// Ids follow "qz::sdk[::analytics]::IName"; a later version of an interface
// carries a number ("qz::sdk::IUtilityProvider2") and derives from the older
// one, so an object answers to both. An interface names the interface it
// extends as `ParentInterface`; an interface renamed over time names its old
// id as `olderInterfaceId()`. RefCountable<> (helpers/ref_countable.h) walks
// that chain: most derived id first, down to "qz::sdk::IRefCountable".
//
// Ownership across the boundary: a pointer returned from a call or through a
// Result carries one reference for the receiver; a pointer passed as an
// argument is borrowed for the duration of the call (the callee adds a
// reference when it keeps it). Texts returned as `const char*` stay valid
// while the returning object is alive and unchanged.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <utility>

#include "qz/sdk/helpers/uuid.h"
#include "qz/sdk/i_ref_countable.h"
#include "qz/sdk/ptr.h"

namespace qz::sdk {

class IString : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::IString"; }
    virtual const char* str() const = 0;
};

// Outcome codes passed back through Result.
enum class ErrorCode : int {
    noError = 0,
    unauthorized = -1,
    notImplemented = -21,
    networkError = -22,
    otherError = -100,
    needMoreData = -102,
    inProgress = -103,
    internalError = -1000,
    invalidParams = -1001,
};

// An error code with an optional message; the message reference is owned.
class Error {
public:
    Error() = default;
    Error(ErrorCode code, Ptr<const IString> message) : m_code(code), m_message(std::move(message)) {}

    ErrorCode errorCode() const { return m_code; }
    const IString* errorMessage() const { return m_message.get(); }
    bool isOk() const { return m_code == ErrorCode::noError; }

private:
    ErrorCode m_code = ErrorCode::noError;
    Ptr<const IString> m_message;
};

// An outcome passed back through an out-parameter: an Error and, on success,
// a value. A pointer value carries one reference for the receiver.
template <class T>
class Result {
public:
    Result() = default;
    Result(T value) : m_value(std::move(value)) {}
    Result(Error error) : m_error(std::move(error)) {}

    bool isOk() const { return m_error.isOk(); }
    const Error& error() const { return m_error; }
    T value() const { return m_value; }

private:
    Error m_error;
    T m_value{};
};

template <>
class Result<void> {
public:
    Result() = default;
    Result(Error error) : m_error(std::move(error)) {}

    bool isOk() const { return m_error.isOk(); }
    const Error& error() const { return m_error; }

private:
    Error m_error;
};

// Key-ordered map of texts with non-empty keys.
class IStringMap : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::IStringMap"; }
    virtual int count() const = 0;
    // Key or value of entry i (in key order), null when i is out of range.
    virtual const char* key(int i) const = 0;
    virtual const char* value(int i) const = 0;
    // Value of the key, null when absent.
    virtual const char* value(const char* key) const = 0;
};

// The registry a host may hand the library context to watch the library's
// objects come and go (leak checks). Called from any thread.
class IRefCountableRegistry : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::IRefCountableRegistry"; }
    virtual void notifyCreated(const IRefCountable* object, int refCount) = 0;
    virtual void notifyDestroyed(const IRefCountable* object, int refCount) = 0;
};

// The library's process-wide context (not reference-counted: it lives until
// the library is unloaded). Name and registry can each be set once; a second
// attempt is refused with a log line and returns false.
class ILibContext {
public:
    virtual const char* name() const = 0;
    virtual bool setName(const char* name) = 0;
    // Borrowed: valid while the context lives. Null until set.
    virtual IRefCountableRegistry* refCountableRegistry() const = 0;
    virtual bool setRefCountableRegistry(IRefCountableRegistry* registry) = 0;

protected:
    ~ILibContext() = default;
};

// Completion of a REST request sent through the utility provider. Called
// exactly once per request, from any thread; `body` is valid during the call.
class IRestRequestHandler : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::IRestRequestHandler"; }
    virtual void onCompleted(ErrorCode error, int httpStatus, const char* body) = 0;
};

// What the host offers the plug-in. Every call is thread-safe.
class IUtilityProvider : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::IUtilityProvider"; }
    virtual int64_t vmsSystemTimeSinceEpochMs() const = 0;
    virtual const IString* homeDir() const = 0;
    virtual const IString* serverSdkVersion() const = 0;
};

class IUtilityProvider2 : public IUtilityProvider {
public:
    using ParentInterface = IUtilityProvider;
    static constexpr const char* interfaceId() { return "qz::sdk::IUtilityProvider2"; }
    virtual const IString* serverId() const = 0;
    virtual const IString* systemId() const = 0;
    virtual const IString* cloudSystemId() const = 0;
    virtual const IString* cloudToken() const = 0;
    // Sends `method` `path` (absolute path of the host server's REST API,
    // query included) with `body` (may be empty); the handler is kept until
    // it has been called.
    virtual void sendRestRequest(
        const char* method, const char* path, const char* body, IRestRequestHandler* handler) = 0;
};

class IDeviceInfo : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::IDeviceInfo"; }
    virtual const char* id() const = 0;
    virtual const char* name() const = 0;
    virtual const char* vendor() const = 0;
    virtual const char* model() const = 0;
    virtual const char* url() const = 0;
};

// The settings page answer: current values, per-setting errors and the
// settings model (JSON). Each part may be null.
class ISettingsResponse : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::ISettingsResponse"; }
    virtual const IStringMap* values() const = 0;
    virtual const IStringMap* errors() const = 0;
    virtual const IString* model() const = 0;
};

// What the host does after an action: open an address and/or show a message.
class IActionResponse : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::IActionResponse"; }
    virtual const char* actionUrl() const = 0;
    virtual const char* messageToUser() const = 0;
    virtual bool useProxy() const = 0;
    virtual bool useDeviceCredentials() const = 0;
};

// A button (or other active item) of a settings page was used.
class IActiveSettingChangedAction : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::IActiveSettingChangedAction"; }
    virtual const char* activeSettingName() const = 0;
    virtual const char* settingsModel() const = 0;
    virtual const IStringMap* settingsValues() const = 0;
    virtual const IStringMap* params() const = 0;
};

class IActiveSettingChangedResponse : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::IActiveSettingChangedResponse"; }
    virtual const IActionResponse* actionResponse() const = 0;
    virtual const ISettingsResponse* settingsResponse() const = 0;
};

class IIntegrationDiagnosticEvent : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::IIntegrationDiagnosticEvent"; }
    enum class Level : int { info = 0, warning = 1, error = 2 };
    virtual Level level() const = 0;
    virtual const char* caption() const = 0;
    virtual const char* description() const = 0;
};

class IAttribute : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::IAttribute"; }
    enum class Type : int { undefined = 0, number = 1, boolean = 2, string = 3 };
    virtual Type type() const = 0;
    virtual const char* name() const = 0;
    virtual const char* value() const = 0;
    virtual float confidence() const = 0;
};

}  // namespace qz::sdk

namespace qz::sdk::analytics {

// A box in frame pixels; (-1, -1, -1, -1) means "no box".
struct Rect {
    float x = -1.0f;
    float y = -1.0f;
    float width = -1.0f;
    float height = -1.0f;
    friend bool operator==(const Rect&, const Rect&) = default;
};

class IDataPacket : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IDataPacket"; }
    virtual int64_t timestampUs() const = 0;
};

// The host's decoded video frame, YUV 4:2:0 in three planes (0 = Y, 1 = U,
// 2 = V). The frame and its plane bytes stay valid while a reference to it
// is held. Reading is thread-safe.
class IUncompressedVideoFrame : public IDataPacket {
public:
    using ParentInterface = IDataPacket;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IUncompressedVideoFrame"; }

    int64_t timestampUs() const override = 0;
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual int planeCount() const = 0;
    // Bytes of plane p, or null when the frame has no such plane.
    virtual const uint8_t* data(int plane) const = 0;
    // Line size of plane p in bytes (at least the plane's width), 0 when absent.
    virtual int lineSize(int plane) const = 0;
};

class IMetadata : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IMetadata"; }
    virtual const char* typeId() const = 0;
    virtual float confidence() const = 0;
    virtual int attributeCount() const = 0;
    // Attribute i with a reference for the caller, null when out of range.
    virtual const IAttribute* attribute(int i) const = 0;
};

class IObjectMetadata : public IMetadata {
public:
    using ParentInterface = IMetadata;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IObjectMetadata"; }
    virtual Uuid trackId() const = 0;
    virtual Rect boundingBox() const = 0;
};

class IEventMetadata : public IMetadata {
public:
    using ParentInterface = IMetadata;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IEventMetadata"; }
    virtual const char* caption() const = 0;
    virtual const char* description() const = 0;
    virtual bool isActive() const = 0;
    virtual Rect boundingBox() const = 0;
};

class IMetadataPacket : public IDataPacket {
public:
    using ParentInterface = IDataPacket;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IMetadataPacket"; }
    virtual int64_t durationUs() const = 0;
};

class IObjectMetadataPacket : public IMetadataPacket {
public:
    using ParentInterface = IMetadataPacket;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IObjectMetadataPacket"; }
    virtual int count() const = 0;
    // Item i with a reference for the caller, null when out of range.
    virtual const IObjectMetadata* at(int i) const = 0;
};

class IEventMetadataPacket : public IMetadataPacket {
public:
    using ParentInterface = IMetadataPacket;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IEventMetadataPacket"; }
    virtual int count() const = 0;
    virtual const IEventMetadata* at(int i) const = 0;
};

class IObjectTrackBestShotPacket : public IMetadataPacket {
public:
    using ParentInterface = IMetadataPacket;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IObjectTrackBestShotPacket"; }
    virtual Uuid trackId() const = 0;
    virtual Rect boundingBox() const = 0;
};

// What the host hands an engine or device agent to receive its output.
// Called from the plug-in's threads, one call at a time per object.
class IEngineHandler : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IEngine::IHandler"; }
    virtual void handleIntegrationDiagnosticEvent(const IIntegrationDiagnosticEvent* event) = 0;
    virtual void pushManifest(const IString* manifest) = 0;
};

class IDeviceAgentHandler : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IDeviceAgent::IHandler"; }
    virtual void handleMetadata(IMetadataPacket* packet) = 0;
    virtual void handleIntegrationDiagnosticEvent(const IIntegrationDiagnosticEvent* event) = 0;
    virtual void pushManifest(const IString* manifest) = 0;
};

class IDeviceAgent : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    using IHandler = IDeviceAgentHandler;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IDeviceAgent"; }
    // The handler is kept (a reference is added); null detaches it.
    virtual void setHandler(IHandler* handler) = 0;
    virtual void setSettings(const IStringMap* settings, Result<const ISettingsResponse*>* outResult) = 0;
    virtual void getPluginSideSettings(Result<const ISettingsResponse*>* outResult) const = 0;
    virtual void manifest(Result<const IString*>* outResult) const = 0;
};

class IConsumingDeviceAgent : public IDeviceAgent {
public:
    using ParentInterface = IDeviceAgent;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IConsumingDeviceAgent"; }
    virtual void pushDataPacket(IDataPacket* dataPacket, Result<void>* outResult) = 0;
};

class IConsumingDeviceAgent2 : public IConsumingDeviceAgent {
public:
    using ParentInterface = IConsumingDeviceAgent;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IConsumingDeviceAgent2"; }
    virtual void getSettingsOnActiveSettingChange(
        const IActiveSettingChangedAction* action, Result<const IActiveSettingChangedResponse*>* outResult) = 0;
};

class IEngine : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    using IHandler = IEngineHandler;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IEngine"; }
    virtual void setHandler(IHandler* handler) = 0;
    virtual void setSettings(const IStringMap* settings, Result<const ISettingsResponse*>* outResult) = 0;
    virtual void getPluginSideSettings(Result<const ISettingsResponse*>* outResult) const = 0;
    virtual void manifest(Result<const IString*>* outResult) const = 0;
    virtual void obtainDeviceAgent(const IDeviceInfo* deviceInfo, Result<IDeviceAgent*>* outResult) = 0;
    virtual void getSettingsOnActiveSettingChange(
        const IActiveSettingChangedAction* action, Result<const IActiveSettingChangedResponse*>* outResult) = 0;
};

// The plug-in object that createQzPlugin returns. Earlier hosts call it
// "qz::sdk::analytics::IPlugin".
class IIntegration : public IRefCountable {
public:
    using ParentInterface = IRefCountable;
    static constexpr const char* interfaceId() { return "qz::sdk::analytics::IIntegration"; }
    static constexpr const char* olderInterfaceId() { return "qz::sdk::analytics::IPlugin"; }
    virtual void manifest(Result<const IString*>* outResult) const = 0;
    // The provider is kept (a reference is added).
    virtual void setUtilityProvider(IUtilityProvider* utilityProvider) = 0;
    virtual void obtainEngine(Result<IEngine*>* outResult) = 0;
};

}  // namespace qz::sdk::analytics

namespace qz::sdk {

// Every interface id above (older names included). An id outside this list is
// a caller's mistake and worth a log line; a listed id that an object does not
// implement is an ordinary probe.
inline constexpr std::array kKnownInterfaceIds = {
    "qz::sdk::IActionResponse",
    "qz::sdk::IActiveSettingChangedAction",
    "qz::sdk::IActiveSettingChangedResponse",
    "qz::sdk::IAttribute",
    "qz::sdk::IDeviceInfo",
    "qz::sdk::IIntegrationDiagnosticEvent",
    "qz::sdk::IRefCountable",
    "qz::sdk::IRefCountableRegistry",
    "qz::sdk::IRestRequestHandler",
    "qz::sdk::ISettingsResponse",
    "qz::sdk::IString",
    "qz::sdk::IStringMap",
    "qz::sdk::IUtilityProvider",
    "qz::sdk::IUtilityProvider2",
    "qz::sdk::analytics::IConsumingDeviceAgent",
    "qz::sdk::analytics::IConsumingDeviceAgent2",
    "qz::sdk::analytics::IDataPacket",
    "qz::sdk::analytics::IDeviceAgent",
    "qz::sdk::analytics::IDeviceAgent::IHandler",
    "qz::sdk::analytics::IEngine",
    "qz::sdk::analytics::IEngine::IHandler",
    "qz::sdk::analytics::IEventMetadata",
    "qz::sdk::analytics::IEventMetadataPacket",
    "qz::sdk::analytics::IIntegration",
    "qz::sdk::analytics::IMetadata",
    "qz::sdk::analytics::IMetadataPacket",
    "qz::sdk::analytics::IObjectMetadata",
    "qz::sdk::analytics::IObjectMetadataPacket",
    "qz::sdk::analytics::IObjectTrackBestShotPacket",
    "qz::sdk::analytics::IPlugin",
    "qz::sdk::analytics::IUncompressedVideoFrame",
};

inline bool isKnownInterfaceId(std::string_view id) {
    return std::find(kKnownInterfaceIds.begin(), kKnownInterfaceIds.end(), id) != kKnownInterfaceIds.end();
}

}  // namespace qz::sdk
