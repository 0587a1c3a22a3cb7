// The device-agent manifest and settings page read on host threads while the
// engine's loop applies new device parameters to the same cameras.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/support/engine_fixture.h"
#include "settings/support/settings_model_check.h"

using nlohmann::json;
using namespace qz::engine_test;

namespace {

// Problems of a manifest text: not JSON, or without the built-in events
// before the types the pipeline adds.
std::vector<std::string> manifestProblems(const std::string& text) {
    const json manifest = json::parse(text, nullptr, false);
    if (!manifest.is_object() || !manifest.contains("typeLibrary") || !manifest.contains("supportedTypes")) {
        return {"not a manifest: " + text};
    }
    const auto& events = manifest["typeLibrary"]["eventTypes"];
    if (!events.is_array() || events.size() < 6 || events[0]["id"] != "qz.qzai.fps") return {"no built-in events"};
    if (manifest["supportedTypes"].size() < events.size()) return {"fewer supported types than events"};
    return {};
}

}  // namespace

TEST(DeviceManifestConcurrency, ManifestsAndPagesStayWellFormedWhileParametersChange) {
    CloudStub::instance().reset();
    const auto detector = serveModel("det", {"person", "car"});
    const auto classifier = serveModel("cls", {"helmet", "no_helmet"});
    const json oneStage = {{"pipeline", pipelineDocument({detector}, json::parse(R"([{"modelUUID": "det"}])"))}};
    const json twoStages = {
        {"pipeline", pipelineDocument({detector, classifier},
                                      json::parse(R"([{"modelUUID": "det", "children": [{"modelUUID": "cls",
                                          "method": "FeatureExtraction", "featureExtractionClass": "person",
                                          "resizing": "Crop"}]}])"))}};
    EngineHarness host;
    const std::vector<std::string> cameras = {"cam1", "cam2"};
    for (const auto& id : cameras) host.addCamera(id, id, oneStage);
    const auto stageCount = [&](const std::string& id) {
        const auto snapshot = host.agent(id).settingsSnapshot();
        return snapshot ? qzai::flattenPipelineStages(snapshot->stages).size() : 0u;
    };
    ASSERT_TRUE(host.waitUntil([&] { return stageCount("cam1") == 1 && stageCount("cam2") == 1; }));

    std::atomic<bool> done{false};
    std::atomic<int> started{0};
    constexpr int kReaders = 4;
    std::vector<std::vector<std::string>> problems(kReaders);
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            auto& agent = host.agent(cameras[static_cast<size_t>(r) % cameras.size()]);
            bool counted = false;
            while (!done.load()) {
                qz::sdk::Result<const qz::sdk::IString*> manifest;
                agent.manifest(&manifest);
                qz::sdk::Ptr<const qz::sdk::IString> manifestText(manifest.value());
                const std::string text = manifestText ? manifestText->str() : std::string();
                for (const auto& problem : manifestProblems(text)) problems[r].push_back(problem);
                qz::sdk::Result<const qz::sdk::ISettingsResponse*> result;
                agent.getPluginSideSettings(&result);
                qz::sdk::Ptr<const qz::sdk::ISettingsResponse> response(result.value());
                const std::string page = response ? qz::sdk::toStdString(response->model()) : std::string();
                for (const auto& problem : qz::settings_test::checkSettingsModel(page)) problems[r].push_back(problem);
                if (!counted) counted = true, ++started;
            }
        });
    }
    while (started.load() < kReaders) std::this_thread::yield();
    for (int round = 0; round < 6; ++round) {
        const bool two = round % 2 == 0;
        for (const auto& id : cameras) host.setDeviceParameters(id, two ? twoStages : oneStage);
        const size_t expected = two ? 2 : 1;
        ASSERT_TRUE(host.waitUntil([&] { return stageCount("cam1") == expected && stageCount("cam2") == expected; }))
            << "round " << round;
    }
    done = true;
    for (auto& reader : readers) reader.join();
    for (int r = 0; r < kReaders; ++r) {
        for (const auto& problem : problems[r]) ADD_FAILURE() << problem;
    }
    CloudStub::instance().reset();
}
