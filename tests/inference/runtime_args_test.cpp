#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "inference/runtime_args.h"
#include "inference/support/engine_test_env.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
namespace fs = std::filesystem;

namespace {

struct Loaded {
    qzai::RuntimeArgList args;
    std::string log;
};

Loaded loadFrom(const engine_test::EngineTestEnv& env, const char* text) {
    if (text) std::ofstream(fs::path(env.workingDir()) / "runtime_args.json") << text;
    testing::internal::CaptureStderr();
    Loaded loaded{qzai::loadRuntimeArgs(env.workingDir()), {}};
    loaded.log = testing::internal::GetCapturedStderr();
    return loaded;
}

TEST(RuntimeArgs, TextMembersBecomeArgumentsInDocumentOrder) {
    engine_test::EngineTestEnv env(false);
    const Loaded loaded = loadFrom(env, R"({"z":"1","b":2,"a":"x y"})");
    EXPECT_EQ(loaded.args.keys, (std::vector<std::string>{"z", "a"}));
    EXPECT_EQ(loaded.args.values, (std::vector<std::string>{"1", "x y"}));
    EXPECT_NE(loaded.log.find("Warning! Runtime arg 'b' has a non-string value, skipping.\n"), std::string::npos);
    EXPECT_NE(loaded.log.find("Loaded 2 runtime args from "), std::string::npos);

    const qzai::RuntimeArgList::View view(loaded.args);
    ASSERT_EQ(view.get()->count, 2u);
    EXPECT_STREQ(view.get()->keys[1], "a");
    EXPECT_STREQ(view.get()->values[1], "x y");
}

TEST(RuntimeArgs, UnusableFilesGiveNoArgumentsAndSayWhy) {
    const std::pair<const char*, const char*> cases[] = {
        {nullptr, "Runtime args file not found at "},
        {"", "Warning! Runtime args file is empty: "},
        {"{\"a\":", "Warning! Failed to parse runtime args JSON: "},
        {"[\"a\"]", "Warning! Runtime args JSON is not an object: "},
    };
    for (const auto& [text, message]: cases) {
        engine_test::EngineTestEnv env(false);
        const Loaded loaded = loadFrom(env, text);
        EXPECT_TRUE(loaded.args.keys.empty()) << message;
        EXPECT_NE(loaded.log.find("Trying to load runtime args from '"), std::string::npos);
        EXPECT_NE(loaded.log.find(message), std::string::npos) << loaded.log;

        const qzai::RuntimeArgList::View view(loaded.args);
        EXPECT_EQ(view.get()->count, 0u);
        EXPECT_EQ(view.get()->keys, nullptr);
        EXPECT_EQ(view.get()->values, nullptr);
    }
}

}  // namespace
