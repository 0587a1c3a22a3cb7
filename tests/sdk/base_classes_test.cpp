#include <gtest/gtest.h>

#include <stdexcept>

#include "qz/sdk/analytics/helpers/consuming_device_agent.h"
#include "qz/sdk/analytics/helpers/engine.h"
#include "qz/sdk/analytics/helpers/integration.h"
#include "qz/sdk/analytics/helpers/object_metadata_packet.h"
#include "qz/sdk/helpers/device_info.h"
#include "qz/sdk/helpers/error.h"
#include "qz/sdk/helpers/settings_response.h"
#include "qz/sdk/helpers/string_map.h"
#include "qz/sdk/helpers/utility_provider.h"
#include "support/log_capture.h"

namespace qz::sdk::analytics {
namespace {

class Frame final : public RefCountable<IUncompressedVideoFrame> {
public:
    int64_t timestampUs() const override { return 77; }
    int width() const override { return 2; }
    int height() const override { return 2; }
    int planeCount() const override { return 3; }
    const uint8_t* data(int) const override { return m_bytes; }
    int lineSize(int) const override { return 2; }

private:
    uint8_t m_bytes[4] = {};
};

class Agent final : public ConsumingDeviceAgent {
public:
    explicit Agent(const IDeviceInfo* info) : ConsumingDeviceAgent(info) {}
    Ptr<const IUncompressedVideoFrame> lastFrame;
    bool throwOnSettings = false;

protected:
    std::string manifestString() const override { return "{\"agent\":1}"; }
    Result<const ISettingsResponse*> settingsReceived() override {
        if (throwOnSettings) throw std::runtime_error("bad settings");
        auto* response = new SettingsResponse();
        response->setValue("echo", settingValue("k"));
        return response;
    }
    bool pushUncompressedVideoFrame(const IUncompressedVideoFrame* frame) override {
        lastFrame = Ptr<const IUncompressedVideoFrame>::share(frame);
        return true;
    }
    bool pullMetadataPackets(std::vector<Ptr<IMetadataPacket>>* packets) override {
        auto packet = makePtr<ObjectMetadataPacket>();
        packet->setTimestampUs(lastFrame->timestampUs());
        packets->push_back(packet);
        return true;
    }
};

class Handler final : public RefCountable<IDeviceAgentHandler> {
public:
    std::vector<int64_t> timestamps;
    std::vector<std::string> manifests;
    void handleMetadata(IMetadataPacket* packet) override { timestamps.push_back(packet->timestampUs()); }
    void handleIntegrationDiagnosticEvent(const IIntegrationDiagnosticEvent*) override {}
    void pushManifest(const IString* manifest) override { manifests.push_back(manifest->str()); }
};

Ptr<Agent> makeAgent() {
    auto info = makePtr<DeviceInfo>(DeviceInfoFields{"dev-1", "Front door", "", "", ""});
    return makePtr<Agent>(info.get());
}

TEST(ConsumingDeviceAgent, FrameGoesToTheHookAndPulledPacketsToTheHandler) {
    auto agent = makeAgent();
    auto handler = makePtr<Handler>();
    agent->setHandler(handler.get());
    auto frame = makePtr<Frame>();
    Result<void> result;
    agent->pushDataPacket(frame.get(), &result);
    EXPECT_TRUE(result.isOk());
    EXPECT_EQ(agent->lastFrame.get(), frame.get());
    EXPECT_EQ(handler->timestamps, std::vector<int64_t>{77});
    EXPECT_TRUE(agent->pushManifest("{}"));
    EXPECT_EQ(handler->manifests, std::vector<std::string>{"{}"});
    EXPECT_EQ(agent->deviceId(), "dev-1");
    EXPECT_EQ(agent->deviceName(), "Front door");
    agent->lastFrame.reset();
    EXPECT_EQ(frame->refCount(), 1);
}

TEST(ConsumingDeviceAgent, SettingsAreStoredAndAnswered) {
    auto agent = makeAgent();
    auto settings = makePtr<StringMap>(std::map<std::string, std::string>{{"k", "v"}});
    Result<const ISettingsResponse*> result;
    agent->setSettings(settings.get(), &result);
    ASSERT_TRUE(result.isOk());
    Ptr<const ISettingsResponse> response(result.value());
    EXPECT_STREQ(response->values()->value("echo"), "v");
    EXPECT_EQ(agent->currentSettings(), (std::map<std::string, std::string>{{"k", "v"}}));
}

TEST(ConsumingDeviceAgent, BadInputIsRefusedWithALogLineAndLosesNothing) {
    test::LogCapture log;
    auto agent = makeAgent();
    auto settings = makePtr<StringMap>(std::map<std::string, std::string>{{"k", "v"}});
    Result<const ISettingsResponse*> settingsResult;
    agent->setSettings(settings.get(), &settingsResult);
    Ptr<const ISettingsResponse> kept(settingsResult.value());

    agent->setSettings(nullptr, &settingsResult);
    EXPECT_EQ(settingsResult.error().errorCode(), ErrorCode::invalidParams);
    EXPECT_EQ(agent->settingValue("k"), "v");

    agent->setSettings(settings.get(), nullptr);  // nowhere to put the answer
    agent->throwOnSettings = true;
    agent->setSettings(settings.get(), &settingsResult);
    EXPECT_EQ(settingsResult.error().errorCode(), ErrorCode::internalError);
    EXPECT_EQ(errorMessage(settingsResult.error()), "bad settings");

    Result<void> pushResult;
    agent->pushDataPacket(nullptr, &pushResult);
    EXPECT_EQ(pushResult.error().errorCode(), ErrorCode::invalidParams);
    auto notAFrame = makePtr<ObjectMetadataPacket>();
    agent->pushDataPacket(notAFrame.get(), &pushResult);
    EXPECT_EQ(pushResult.error().errorCode(), ErrorCode::invalidParams);
    EXPECT_FALSE(agent->pushMetadataPacket(notAFrame));  // no handler set

    const std::string text = log.text();
    EXPECT_NE(text.find("_device_dev-1] IDeviceAgent::setSettings: null settings"), std::string::npos) << text;
    EXPECT_NE(text.find("null result pointer"), std::string::npos);
    EXPECT_NE(text.find("exception: bad settings"), std::string::npos);
    EXPECT_NE(text.find("null packet"), std::string::npos);
    EXPECT_NE(text.find("metadata packet dropped: no handler set"), std::string::npos);
}

class TestEngine final : public Engine {
protected:
    std::string manifestString() const override { return "{}"; }
    Result<IDeviceAgent*> doObtainDeviceAgent(const IDeviceInfo* info) override { return new Agent(info); }
};

class TestIntegration final : public Integration {
protected:
    std::string manifestString() const override { return "{\"id\":\"t\"}"; }
    Result<IEngine*> doObtainEngine() override { return makeError(ErrorCode::otherError, "no engine today"); }
};

TEST(EngineAndIntegration, HooksAnswerTheHostAndNullInputIsRefused) {
    test::LogCapture log;
    auto engine = makePtr<TestEngine>();
    auto info = makePtr<DeviceInfo>(DeviceInfoFields{"d", "n", "", "", ""});
    Result<IDeviceAgent*> agentResult;
    engine->obtainDeviceAgent(info.get(), &agentResult);
    Ptr<IDeviceAgent> agent(agentResult.value());
    EXPECT_TRUE(queryInterfacePtr<IConsumingDeviceAgent2>(agent.get()));
    engine->obtainDeviceAgent(nullptr, &agentResult);
    EXPECT_EQ(agentResult.error().errorCode(), ErrorCode::invalidParams);
    EXPECT_FALSE(engine->pushManifest("{}"));  // no handler

    auto integration = makePtr<TestIntegration>();
    Result<IEngine*> engineResult;
    integration->obtainEngine(&engineResult);
    EXPECT_EQ(engineResult.error().errorCode(), ErrorCode::otherError);
    EXPECT_EQ(errorMessage(engineResult.error()), "no engine today");
    EXPECT_EQ(queryInterfacePtr<IIntegration>(integration.get()).get(),
        static_cast<IIntegration*>(integration->queryInterface("qz::sdk::analytics::IPlugin")));
    integration->releaseRef();
    EXPECT_EQ(integration->refCount(), 1);

    EXPECT_FALSE(integration->utilityProvider().isValid());
    bool completed = false;
    integration->utilityProvider().sendRestRequest("GET", "/rest/v4/servers/this", "",
        [&](ErrorCode error, int, const std::string&) { completed = error == ErrorCode::networkError; });
    EXPECT_TRUE(completed);
    EXPECT_NE(log.text().find("null device info"), std::string::npos);
}

}  // namespace
}  // namespace qz::sdk::analytics
