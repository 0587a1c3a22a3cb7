// Loading the processor configuration files over real files and real child
// processes (the test peer records its arguments in QZ_PEER_RECORD_DIR).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "common/messaging_manager.h"
#include "common/support/log_capture.h"
#include "common/support/temp_dir.h"
#include "external/processor_config.h"
#include "inference/processors/processor_loading.h"
#include "external/support/external_support.h"
#include "inference/inference_manager.h"
#include "inference/postprocessing/postprocessing_state.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
namespace fs = std::filesystem;
using qz::test::LogCapture;

namespace {

const std::string kPeer = QZ_PEER_PROGRAM;

void writeText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

std::string entry(const std::string& fields) {
    return "{\"Name\": \"p\", \"Command\": \"" + kPeer + "\"" + (fields.empty() ? "" : ", " + fields) + "}";
}

using PostMap = qzai::ExternalPostprocessorMap;

}  // namespace

class ProcessorConfigTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("QZ_PEER_RECORD_DIR", records.path().c_str(), 1); }
    void TearDown() override {
        ::unsetenv("QZ_PEER_RECORD_DIR");
        EXPECT_TRUE(qz::test::childrenOfThisProcess().empty()) << "a child process was left behind";
    }

    qz::test::TempDir records;
};

TEST_F(ProcessorConfigTest, PostprocessorEntriesFollowTheKeyRules) {
    struct Case {
        const char* what;
        std::string text;  // null text: no file
        std::vector<std::string> names;
        std::string line;  // a log line expected
        std::function<void(const PostMap&)> check;
    };
    const Case cases[] = {
        {"no file", "", {}, "Notice: No external postprocessors configuration found at", nullptr},
        {"root object", "{}", {}, "Error: External postprocessors JSON root must be an array\n", nullptr},
        {"not JSON", "[", {}, "Error: Failed to parse external postprocessors JSON file:", nullptr},
        {"both Command and Port", "[" + entry("\"Port\": 5999") + "]", {"p"}, "command: )",
         [](const PostMap& m) {
             EXPECT_EQ(m.at("p")->port, 5999u);
             EXPECT_TRUE(m.at("p")->command.empty());
         }},
        {"fractional Port only", "[{\"Name\": \"p\", \"Port\": 8080.0}]", {},
         "Warning: Skipping postprocessor. Either 'Command' or 'Port' needs to be defined.\n", nullptr},
        {"Port 0", "[" + entry("\"Port\": 0") + "]", {}, "Warning: Skipping postprocessor p: Port 0 is out of range.\n",
         nullptr},
        {"Port 70000", "[" + entry("\"Port\": 70000") + "]", {},
         "Warning: Skipping postprocessor p: Port 70000 is out of range.\n", nullptr},
        {"Port -1", "[" + entry("\"Port\": -1") + "]", {},
         "Warning: Skipping postprocessor p: Port -1 is out of range.\n", nullptr},
        {"negative TimeoutMs", "[" + entry("\"TimeoutMs\": -1") + "]", {"p"}, "",
         [](const PostMap& m) { EXPECT_EQ(m.at("p")->timeoutMs, 1000u); }},
        {"fractional TimeoutMs", "[" + entry("\"TimeoutMs\": 1.5") + "]", {"p"}, "",
         [](const PostMap& m) { EXPECT_EQ(m.at("p")->timeoutMs, 1000u); }},
        {"huge TimeoutMs", "[" + entry("\"TimeoutMs\": 3000000000") + "]", {"p"},
         "Warning: TimeoutMs of processor p is out of range; using 1000.\n",
         [](const PostMap& m) { EXPECT_EQ(m.at("p")->timeoutMs, 1000u); }},
        {"lower-case schedule, string NoResponse",
         "[" + entry("\"Schedule\": \"tensor\", \"NoResponse\": \"true\", \"TimeoutMs\": 250") + "]", {"p"}, "",
         [](const PostMap& m) {
             EXPECT_EQ(m.at("p")->schedule, qzai::PostprocessorSchedule::Objects);
             EXPECT_FALSE(m.at("p")->noResponse);
             EXPECT_TRUE(m.at("p")->receiveThread.joinable());
             EXPECT_EQ(m.at("p")->timeoutMs, 250u);
         }},
        {"tensor schedule without responses", "[" + entry("\"Schedule\": \"TENSOR\", \"NoResponse\": true") + "]",
         {"p"}, "",
         [](const PostMap& m) {
             EXPECT_EQ(m.at("p")->schedule, qzai::PostprocessorSchedule::Tensor);
             EXPECT_FALSE(m.at("p")->receiveThread.joinable());
         }},
        {"objects and settings",
         "[" + entry("\"Objects\": [\"x\", {\"ID\": \"o1\"}], \"Events\": [{\"ID\": \"e\", \"Name\": \"E\"}], "
                     "\"UserSettings\": [ {\"a\" : 1} ], \"Name\": \"second\"") + "]",
         {"p"}, "(1 objects, 1 events, command: ",
         [](const PostMap& m) {
             const auto& p = *m.at("p");
             ASSERT_EQ(p.objectTypes.size(), 1u);
             EXPECT_EQ(p.objectTypes[0].id, "o1");
             EXPECT_EQ(p.objectTypes[0].name, "");
             EXPECT_EQ(p.eventTypes[0].name, "E");
             EXPECT_EQ(p.userSettings, "[{\"a\":1}]");
         }},
        {"repeated Name", "[" + entry("\"LogFilepath\": \"\"") + ", " + entry("") + "]", {"p"},
         "Warning: Skipping postprocessor with duplicate name: p\n", nullptr},
        {"failing Command", "[{\"Name\": \"bad\", \"Command\": \"/nonexistent/qz-processor\"}]", {},
         "Error: Failed to start external postprocessor bad\n", nullptr},
        {"empty Name", "[{\"Name\": \"\", \"Command\": \"" + kPeer + "\"}]", {},
         "Warning: Skipping postprocessor with missing required fields (Name)\n", nullptr},
        {"non-object entry", "[3, " + entry("") + "]", {"p"},
         "Warning: Skipping non-object entry in external postprocessors array\n", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qz::test::TempDir root;
        if (!c.text.empty()) writeText(root.path() / "postprocessors" / "external_postprocessors.json", c.text);
        LogCapture log(2);
        {
            qzai::PostprocessingState state(root.path().string());
            qzai::loadExternalPostprocessors(state);
            std::vector<std::string> names;
            for (const auto& [name, record] : state.externalPostprocessors) names.push_back(name);
            EXPECT_EQ(names, c.names);
            if (!c.line.empty()) {
                EXPECT_EQ(log.count(c.line), 1u);
            }
            if (c.check) c.check(state.externalPostprocessors);
            if (std::string(c.what) == "repeated Name") {
                EXPECT_EQ(qz::test::childrenOfThisProcess().size(), 1u);
            }
        }
    }
}

TEST_F(ProcessorConfigTest, ConfigMembersBecomeArgumentsAndTheChildSeesThem) {
    qz::test::TempDir root;
    writeText(root.path() / "postprocessors" / "external_postprocessors.json",
              "[" + entry("\"Config\": {\"a\": \"1\", \"b\": 2}") + "]");
    LogCapture log(2);
    qzai::PostprocessingState state(root.path().string());
    qzai::loadExternalPostprocessors(state);
    EXPECT_EQ(log.count("Warning! Received non-string config argument for postprocessor: p\n"), 1u);
    ASSERT_EQ(state.externalPostprocessors.size(), 1u);
    const std::string argv = qz::test::waitForFileText(records.path() / "argv", "ProcessorName\np\n",
                                                       std::chrono::seconds(10));
    const auto first = argv.find('\n');
    const auto second = argv.find('\n', first + 1);
    EXPECT_EQ(argv.substr(second + 1), "--a\n1\n--ProcessorName\np\n");
}

TEST_F(ProcessorConfigTest, AFolderThatCannotBeCheckedLoadsNothing) {
    qz::test::TempDir root;
    fs::create_symlink("postprocessors", root.path() / "postprocessors");  // a link loop
    LogCapture log(2);
    qzai::PostprocessingState state(root.path().string());
    EXPECT_NO_THROW(qzai::loadExternalPostprocessors(state));
    EXPECT_EQ(log.count("Error: Failed to open external postprocessors configuration file:"), 1u);
    EXPECT_TRUE(state.externalPostprocessors.empty());
}

TEST_F(ProcessorConfigTest, TheManagerStartsAndStopsBothKinds) {
    qz::test::TempDir root;
    writeText(root.path() / "postprocessors" / "external_postprocessors.json",
              "[" + entry("") + ", {\"Name\": \"q\", \"Command\": \"" + kPeer + "\"}]");
    writeText(root.path() / "preprocessors" / "external_preprocessors.json",
              "[{\"Name\": \"img\", \"Command\": \"" + kPeer + "\", \"Config\": {\"x\": \"y\"}}, "
              "{\"Name\": \"t\", \"Command\": \"" + kPeer + "\", \"Schedule\": \"TENSOR\"}]");
    LogCapture log(2);
    qzai::MessagingManager messages;
    std::vector<pid_t> children;
    {
        qzai::InferenceManager manager(root.path().string(), "", messages, 2);
        manager.reloadExternalProcessors();
        ASSERT_EQ(manager.externalPostprocessors().size(), 2u);
        ASSERT_EQ(manager.externalPreprocessors().size(), 2u);
        EXPECT_EQ(manager.externalPreprocessors().at("t")->schedule, qzai::PreprocessorSchedule::Tensor);
        EXPECT_EQ(log.count("Loaded and started external preprocessor: img (command: "), 1u);
        EXPECT_EQ(log.count("Initialized 2 external preprocessors\n"), 1u);
        manager.stopExternalProcessors();
        for (const auto* map : {&manager.externalPostprocessors()}) {
            for (const auto& [name, record] : *map) EXPECT_TRUE(record->process->waitUntilExited(2500)) << name;
        }
        for (const auto& [name, record] : manager.externalPreprocessors()) {
            EXPECT_TRUE(record->process->waitUntilExited(2500)) << name;
        }
    }
    EXPECT_TRUE(qz::test::childrenOfThisProcess().empty());
}
