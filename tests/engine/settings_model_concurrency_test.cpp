// Settings pages built on host threads while the engine's state changes
// underneath them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/support/engine_fixture.h"
#include "runtimes/support/runtimes_test_access.h"
#include "settings/settings_manager.h"
#include "settings/support/settings_model_check.h"
#include "settings/support/settings_states.h"

using namespace qz::engine_test;

TEST(SettingsModelConcurrency, PagesBuiltWhileRuntimeNoticesAndModelsChangeStayWellFormed) {
    EngineHarness host;
    qzai::Engine& engine = host.engine();
    auto state = qz::settings_test::baseState("concurrent");
    const auto snapshot = qz::settings_test::baseSnapshot(state.models);
    const std::map<qzai::DeviceAgentErrorType, std::string> errors = {
        {qzai::DeviceAgentErrorType::Pipeline, "a pipeline error"}};

    constexpr int kBuilders = 4;
    std::atomic<int> started{0};
    std::atomic<bool> done{false};
    std::vector<std::vector<std::string>> problems(kBuilders);
    std::vector<size_t> built(kBuilders, 0);
    std::vector<std::thread> builders;
    for (int b = 0; b < kBuilders; ++b) {
        builders.emplace_back([&, b] {
            bool counted = false;
            while (!done.load()) {
                const std::string text =
                    qzai::SettingsManager::createDeviceAgentSettingsModelString(&engine, errors, snapshot);
                for (const auto& problem : qz::settings_test::checkSettingsModel(text)) {
                    problems[b].push_back(problem + " in " + text);
                }
                ++built[b];
                if (!counted) counted = true, ++started;
            }
        });
    }

    // The mutator starts once every builder has built a page, so they overlap.
    std::thread mutator([&] {
        while (started.load() < kBuilders) std::this_thread::yield();
        auto& runtimes = engine.runtimesManager();
        auto& notices = engine.messagingManager();
        auto& m1 = *state.models.at("m1");
        auto& m2 = *state.models.at("m2");
        for (int i = 0; i < 300; ++i) {
            const std::string n = std::to_string(i);
            qzai::RuntimesManagerTestAccess::setState(runtimes, static_cast<qzai::RuntimeState>(i % 8));
            qzai::RuntimesManagerTestAccess::setDownloadCancelled(runtimes, i % 3 == 0);
            qzai::RuntimesManagerTestAccess::setCompatibleRuntimes(runtimes, {"Runtime " + n, "Generic CPU"});
            if (i % 2 == 0) runtimes.saveInstalledRuntimeName("Runtime " + n);
            else runtimes.removeRuntime();
            engine.registrationManager().state =
                i % 4 == 0 ? qzai::CloudConnectionState::Checking : qzai::CloudConnectionState::TokenObtained;
            notices.addMessage("NOTICE_" + std::to_string(i % 5), "notice " + n,
                               i % 2 ? qzai::MessagingManager::MessageType::Warning
                                     : qzai::MessagingManager::MessageType::Info);
            notices.removeMessage("NOTICE_" + std::to_string((i + 2) % 5));
            m1.addError("error " + n);
            m1.downloadState = i % 2 ? qzai::ModelDownloadState::Failed : qzai::ModelDownloadState::Ready;
            m2.downloadState = qzai::ModelDownloadState::Downloading;
            m2.downloadProgress = static_cast<uint64_t>(i % 101);
        }
        done = true;
    });
    mutator.join();
    for (auto& builder : builders) builder.join();
    for (int b = 0; b < kBuilders; ++b) {
        EXPECT_GT(built[b], 0u);
        for (const auto& problem : problems[b]) ADD_FAILURE() << problem;
    }
}
