// The engine loads the configured processors at its first device agent and
// marks for the frame road only the stages whose processor needs the image.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/support/engine_fixture.h"
#include "external/processor_config.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace qz::engine_test;

namespace {

void writeText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

std::string processor(const std::string& name, const std::string& extra) {
    return "{\"Name\": \"" + name + "\", \"Command\": \"" + std::string(QZ_PEER_PROGRAM) + "\", \"NoResponse\": true" +
           extra + "}";
}

}  // namespace

TEST(EngineProcessorsTest, OnlyImageProcessorsNeedTheFrame) {
    CloudStub::instance().reset();
    qz::test::TempDir home;
    const fs::path data = home.path() / "qz_kelvane";
    writeText(data / "preprocessors" / "external_preprocessors.json",
              "[" + processor("image", "") + ", " + processor("tensor", ", \"Schedule\": \"TENSOR\"") + "]");
    writeText(data / "postprocessors" / "external_postprocessors.json",
              "[" + processor("seeing", ", \"ReceiveInputImage\": true") + ", " +
                  processor("objects", ", \"Objects\": [{\"ID\": \"o\", \"Name\": \"O\"}]") + ", " +
                  processor("tensors", ", \"Schedule\": \"TENSOR\", \"ReceiveInputImage\": false") + "]");
    EngineHarness::Options options;
    options.homeDir = home.path().string();
    EngineHarness host(options);
    host.addCamera("cam1", "Gate", json{{"deviceAdminAddress", "https://admin.example/cam"}});
    const qzai::ProcessorResolver resolver = host.engine().processorResolver();
    struct Case {
        const char* name;
        bool pre;
        bool needsFrame;
    };
    for (const Case& c : {Case{"image", true, true}, Case{"tensor", true, false}, Case{"seeing", false, true},
                          Case{"objects", false, false}, Case{"tensors", false, false}}) {
        bool needsFrame = false;
        const bool found = c.pre ? resolver.preprocessor(c.name, &needsFrame) != nullptr
                                 : resolver.postprocessor(c.name, &needsFrame) != nullptr;
        EXPECT_TRUE(found) << c.name;
        EXPECT_EQ(needsFrame, c.needsFrame) << c.name;
    }
    host.shutdown();
    CloudStub::instance().reset();
}

TEST(EngineProcessorsTest, DeclarationsOfTheLoadedProcessorsReachThePageAndTheManifest) {
    CloudStub::instance().reset();
    qz::test::TempDir home;
    const fs::path data = home.path() / "qz_kelvane";
    writeText(data / "preprocessors" / "external_preprocessors.json",
              "[" + processor("shade", R"(, "UserSettings": [{"type": "TextField", "name": "tone"}])") + "]");
    writeText(data / "postprocessors" / "external_postprocessors.json",
              "[" + processor("tagger", R"(, "Objects": [{"ID": "tag.helmet", "Name": "Helmet"}],)"
                                        R"( "Events": [{"ID": "tag.alarm", "Name": "Alarm"}])") + "]");
    const auto detector = serveModel("det", {"person"});
    EngineHarness::Options options;
    options.homeDir = home.path().string();
    EngineHarness host(options);
    host.addCamera("cam1", "Gate", {{"pipeline", pipelineDocument({detector}, json::parse(R"([{"modelUUID": "det",
                                         "Preprocessor": "shade", "Postprocessor": "tagger"}])"))}});
    ASSERT_TRUE(host.waitUntil([&] {
        const auto s = host.agent("cam1").settingsSnapshot();
        return s && s->stages.size() == 1 && s->stages[0].postprocessor && s->stages[0].preprocessor;
    }));
    qz::sdk::Result<const qz::sdk::IString*> manifest;
    host.agent("cam1").manifest(&manifest);
    const std::string text = json::parse(host.settingsModel("cam1")).dump() + qz::sdk::Ptr(manifest.value())->str();
    for (const char* part : {R"("caption":"shade Settings")", R"("name":"det_preprocessor_setting_tone")",
                             R"("tag.helmet":"Helmet")", R"({"id":"tag.alarm","name":"Alarm"})",
                             R"({"id":"qz.qzai.tag.helmet","name":"Helmet"})"})
        EXPECT_NE(text.find(part), std::string::npos) << part;
    host.shutdown();
    CloudStub::instance().reset();
}
