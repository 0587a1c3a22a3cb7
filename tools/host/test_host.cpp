#include "host/test_host.h"

#include <cstdlib>
#include <system_error>

#include "qz/sdk/helpers/error.h"
#include "qz/sdk/helpers/string.h"
#include "qz/sdk/helpers/string_map.h"

namespace qz::test_host {

using namespace qz::sdk;
using namespace qz::sdk::analytics;

namespace {

IIntegration* asIntegration(IRefCountable* object) {
    return object ? static_cast<IIntegration*>(object->queryInterface(IIntegration::interfaceId())) : nullptr;
}

std::string takeText(Result<const IString*>& result) {
    if (!result.isOk()) return "error: " + toString(result.error().errorCode()) + " " + errorMessage(result.error());
    return takeString(result.value());
}

SettingsReply toReply(const Result<const ISettingsResponse*>& result) {
    SettingsReply reply;
    reply.error = result.error().errorCode();
    reply.errorMessage = errorMessage(result.error());
    Ptr<const ISettingsResponse> response(result.value());
    if (response) {
        reply.hasResponse = true;
        reply.values = toStdMap(response->values());
        reply.errors = toStdMap(response->errors());
        reply.model = toStdString(response->model());
    }
    return reply;
}

SettingsReply failedReply(const std::string& message) {
    SettingsReply reply;
    reply.error = ErrorCode::invalidParams;
    reply.errorMessage = message;
    return reply;
}

// What the host hands the agent when an active item of its page is used.
class ActiveSettingAction final : public RefCountable<IActiveSettingChangedAction> {
public:
    ActiveSettingAction(std::string name, const std::map<std::string, std::string>& values)
        : m_name(std::move(name)), m_values(makePtr<StringMap>(values)), m_params(makePtr<StringMap>()) {}
    const char* activeSettingName() const override { return m_name.c_str(); }
    const char* settingsModel() const override { return "{}"; }
    const IStringMap* settingsValues() const override { return m_values.get(); }
    const IStringMap* params() const override { return m_params.get(); }

private:
    std::string m_name;
    Ptr<StringMap> m_values;
    Ptr<StringMap> m_params;
};

std::filesystem::path makeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qz_test_host_XXXXXX").string();
    if (!mkdtemp(pattern.data())) return {};
    return pattern;
}

}  // namespace

TestHost::TestHost(TestHostOptions options) : m_options(std::move(options)) {
    if (m_options.identity.homeDir.empty()) {
        m_ownedHomeDir = makeTempDir();
        m_options.identity.homeDir = m_ownedHomeDir.string();
    }
    m_server = std::make_shared<FakeServer>(m_options.identity.serverId);
    m_utilityProvider = makePtr<FakeUtilityProvider>(m_options.identity, m_server);
}

TestHost::~TestHost() {
    unload();
    m_utilityProvider.reset();
    if (!m_ownedHomeDir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_ownedHomeDir, ignored);
    }
}

bool TestHost::load(std::string* error) {
    if (m_library) {
        if (error) *error = "already loaded";
        return false;
    }
    m_residentAtLoad = PluginLibrary::isMapped(m_options.pluginPath);
    m_library = PluginLibrary::load(m_options.pluginPath, error);
    if (!m_library) return false;
    ILibContext* context = m_library->qzLibContext();
    context->setName(m_options.contextName.c_str());
    context->setRefCountableRegistry(m_registry.get());
    auto options = makePtr<StringMap>(m_options.unitTestOptions);
    m_library->qzSetUnitTestOptions(options.get());
    if (m_options.beforeCreatingPlugin) m_options.beforeCreatingPlugin();

    Ptr<IRefCountable> plugin(m_library->createQzPlugin());
    m_integration = Ptr<IIntegration>(asIntegration(plugin.get()));
    if (!m_integration) {
        if (error) *error = "createQzPlugin gave no IIntegration";
        plugin.reset();
        unload();
        return false;
    }
    m_integration->setUtilityProvider(m_utilityProvider.get());
    return true;
}

bool TestHost::obtainEngine(std::string* error) {
    if (!m_integration) {
        if (error) *error = "not loaded";
        return false;
    }
    Result<IEngine*> result;
    m_integration->obtainEngine(&result);
    m_engine = Ptr<IEngine>(result.value());
    if (!result.isOk() || !m_engine) {
        if (error) *error = "obtainEngine: " + toString(result.error().errorCode()) + " " + errorMessage(result.error());
        m_engine.reset();
        return false;
    }
    auto handler = makePtr<EngineHandler>(m_recorder);
    m_engine->setHandler(handler.get());
    return true;
}

bool TestHost::addCamera(const DeviceInfoFields& device, std::string* error) {
    if (!m_engine) {
        if (error) *error = "no engine";
        return false;
    }
    if (!m_server->device(device.id))
        m_server->putDevice(device.id, {{"name", device.name}, {"parameters", nlohmann::json::object()}});
    auto info = makePtr<DeviceInfo>(device);
    Result<IDeviceAgent*> result;
    m_engine->obtainDeviceAgent(info.get(), &result);
    Ptr<IDeviceAgent> agent(result.value());
    auto consuming = queryInterfacePtr<IConsumingDeviceAgent>(agent.get());
    if (!result.isOk() || !consuming) {
        if (error)
            *error = "obtainDeviceAgent: " + toString(result.error().errorCode()) + " " + errorMessage(result.error());
        return false;
    }
    auto handler = makePtr<DeviceAgentHandler>(device.id, m_recorder);
    consuming->setHandler(handler.get());
    m_agents[device.id] = std::move(consuming);
    return true;
}

std::string TestHost::sdkVersion() const { return m_library ? m_library->qzSdkVersion() : ""; }

ILibContext* TestHost::libContext() const { return m_library ? m_library->qzLibContext() : nullptr; }

std::string TestHost::integrationManifest() {
    if (!m_integration) return {};
    Result<const IString*> result;
    m_integration->manifest(&result);
    return takeText(result);
}

std::string TestHost::engineManifest() {
    if (!m_engine) return {};
    Result<const IString*> result;
    m_engine->manifest(&result);
    return takeText(result);
}

std::string TestHost::deviceManifest(const std::string& deviceId) {
    IConsumingDeviceAgent* agent = deviceAgent(deviceId);
    if (!agent) return {};
    Result<const IString*> result;
    agent->manifest(&result);
    return takeText(result);
}

SettingsReply TestHost::setEngineSettings(const std::map<std::string, std::string>& settings) {
    if (!m_engine) return failedReply("no engine");
    auto map = makePtr<StringMap>(settings);
    Result<const ISettingsResponse*> result;
    m_engine->setSettings(map.get(), &result);
    return toReply(result);
}

SettingsReply TestHost::setDeviceSettings(
    const std::string& deviceId, const std::map<std::string, std::string>& settings) {
    IConsumingDeviceAgent* agent = deviceAgent(deviceId);
    if (!agent) return failedReply("no such camera");
    auto map = makePtr<StringMap>(settings);
    Result<const ISettingsResponse*> result;
    agent->setSettings(map.get(), &result);
    return toReply(result);
}

SettingsReply TestHost::pluginSideSettings(const std::string& deviceId) {
    IConsumingDeviceAgent* agent = deviceAgent(deviceId);
    if (!agent) return failedReply("no such camera");
    Result<const ISettingsResponse*> result;
    agent->getPluginSideSettings(&result);
    return toReply(result);
}

SettingsReply TestHost::pressActiveSetting(const std::string& deviceId, const std::string& name,
                                           const std::map<std::string, std::string>& values) {
    auto agent = queryInterfacePtr<IConsumingDeviceAgent2>(deviceAgent(deviceId));
    if (!agent) return failedReply("no such camera, or it takes no active settings");
    auto action = makePtr<ActiveSettingAction>(name, values);
    Result<const IActiveSettingChangedResponse*> result;
    agent->getSettingsOnActiveSettingChange(action.get(), &result);
    SettingsReply reply;
    reply.error = result.error().errorCode();
    reply.errorMessage = errorMessage(result.error());
    Ptr<const IActiveSettingChangedResponse> response(result.value());
    if (response && response->settingsResponse()) {
        reply.hasResponse = true;
        reply.values = toStdMap(response->settingsResponse()->values());
        reply.errors = toStdMap(response->settingsResponse()->errors());
        reply.model = toStdString(response->settingsResponse()->model());
    }
    return reply;
}

Result<void> TestHost::pushFrame(const std::string& deviceId, const FrameLayout& layout) {
    IConsumingDeviceAgent* agent = deviceAgent(deviceId);
    if (!agent) return makeError(ErrorCode::invalidParams, "no such camera");
    auto frame = makePtr<TestFrame>(layout);
    Result<void> result;
    agent->pushDataPacket(frame.get(), &result);
    return result;
}

void TestHost::releaseDeviceAgent(const std::string& deviceId) { m_agents.erase(deviceId); }

void TestHost::releaseAll() {
    m_agents.clear();
    m_engine.reset();
    m_integration.reset();
}

UnloadReport TestHost::unload(HandlerRelease handlers) {
    UnloadReport report;
    if (!m_library) return report;
    releaseAll();
    // Stopping joins the server thread and releases unanswered handlers.
    if (handlers == HandlerRelease::beforeUnloading) m_server->stop();
    report.objectsCreated = m_registry->createdCount();
    report.objectsLeaked = m_registry->liveCount();
    report.unmatchedDestroys = m_registry->unmatchedDestroyCount();
    const std::string path = m_library->path();
    m_library.reset();
    report.unmapped = !PluginLibrary::isMapped(path);
    report.residentAtLoad = m_residentAtLoad;
    m_server->stop();
    return report;
}

std::vector<std::string> TestHost::deviceIds() const {
    std::vector<std::string> ids;
    for (const auto& [id, agent] : m_agents) ids.push_back(id);
    return ids;
}

IConsumingDeviceAgent* TestHost::deviceAgent(const std::string& deviceId) const {
    auto it = m_agents.find(deviceId);
    return it == m_agents.end() ? nullptr : it->second.get();
}

}  // namespace qz::test_host
