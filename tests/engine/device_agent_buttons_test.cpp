// Buttons of a camera's settings page that name a pipeline stage.
#include <gtest/gtest.h>

#include "engine/settings_cache.h"
#include "engine/support/engine_fixture.h"

using nlohmann::json;
using namespace qz::engine_test;

TEST(DeviceAgentButtons, ClassButtonsOfAStageTheAgentDoesNotKnowChangeNothing) {
    // The page may still show a stage of a pipeline the camera has left;
    // "Select All" there must not store an empty class list that would hide
    // every class once that stage comes back.
    CloudStub::instance().reset();
    const auto detector = serveModel("det", {"person", "car"});
    EngineHarness host;
    host.addCamera("cam1", "Gate", {{"pipeline", pipelineDocument({detector}, json::parse(R"([{"modelUUID": "det"}])"))}});
    auto& agent = host.agent("cam1");
    ASSERT_TRUE(host.waitUntil([&] { return agent.settingsSnapshot() && !agent.settingsSnapshot()->stages.empty(); }));

    const auto ghost = serveModel("ghost", {"bus", "tram"});
    host.press("cam1", "selectAllButton_ghost");
    host.press("cam1", "deSelectAllButton_ghost");
    EXPECT_EQ(qzai::loadSettingsCache(agent.settingsCachePath()).count("visualise_classes_ghost"), 0u);

    host.setDeviceParameters("cam1", {{"pipeline", pipelineDocument({ghost}, json::parse(R"([{"modelUUID": "ghost"}])"))}});
    ASSERT_TRUE(host.waitUntil([&] { return agent.settingsSnapshot()->stages[0].key == "ghost"; }));
    EXPECT_EQ(agent.settingsSnapshot()->stages[0].classVisualisation,
              (std::map<std::string, bool>{{"bus", true}, {"tram", true}}));
    CloudStub::instance().reset();
}
