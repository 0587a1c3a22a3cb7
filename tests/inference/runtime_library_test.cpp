#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "inference/runtime_library.h"
#include "inference/support/engine_test_env.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;
namespace fs = std::filesystem;

namespace {

// The link file name that follows `loadPath` ("RuntimeLibrary.<n>.dll").
std::string nextLinkPath(const std::string& loadPath) {
    const fs::path path(loadPath);
    const std::string n = path.stem().extension().string().substr(1);
    return (path.parent_path() / ("RuntimeLibrary." + std::to_string(std::stoul(n) + 1) + ".dll")).string();
}

TEST(RuntimeLibrary, LoadsThroughAFreshLinkAndRemovesItOnRelease) {
    engine_test::EngineTestEnv env;
    std::string firstLink;
    {
        qzai::RuntimeLibrary first(env.libraryPath());
        ASSERT_TRUE(first.isLoaded());
        firstLink = first.loadPath();
        EXPECT_EQ(fs::path(firstLink).parent_path(), fs::path(env.workingDir()));
        EXPECT_TRUE(fs::exists(firstLink));
        EXPECT_STREQ(first.getName(), "TestRuntime");
        EXPECT_STREQ(first.getVersion(), "1.0");

        // A stale file where the next link goes is replaced.
        const std::string secondLink = nextLinkPath(firstLink);
        std::ofstream(secondLink) << "stale";
        qzai::RuntimeLibrary second(env.libraryPath());
        EXPECT_TRUE(second.isLoaded());
        EXPECT_EQ(second.loadPath(), secondLink);
    }
    EXPECT_FALSE(fs::exists(firstLink));
    EXPECT_FALSE(fs::exists(nextLinkPath(firstLink)));
    EXPECT_TRUE(fs::exists(env.libraryPath()));
}

TEST(RuntimeLibrary, LoadsTheFileItselfWhenNoLinkCanBeMade) {
    engine_test::EngineTestEnv env;
    std::string probeLink;
    {
        qzai::RuntimeLibrary probe(env.libraryPath());
        probeLink = probe.loadPath();
    }
    // A non-empty directory in the way cannot be removed, so linking fails.
    const std::string blocked = nextLinkPath(probeLink);
    fs::create_directories(fs::path(blocked) / "occupied");

    testing::internal::CaptureStderr();
    {
        qzai::RuntimeLibrary library(env.libraryPath());
        EXPECT_TRUE(library.isLoaded());
        EXPECT_TRUE(library.loadPath().empty());
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Warning! Failed to hard link " + blocked + " to " + env.libraryPath()), std::string::npos)
        << log;
    EXPECT_TRUE(fs::exists(env.libraryPath()));
}

TEST(RuntimeLibrary, AnUnloadableFileLeavesEveryFunctionAbsent) {
    engine_test::EngineTestEnv env(false);
    std::ofstream(env.libraryPath()) << "not a shared library";

    testing::internal::CaptureStderr();
    qzai::RuntimeLibrary library(env.libraryPath());
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Error! Failed to load runtime library "), std::string::npos) << log;

    EXPECT_FALSE(library.isLoaded());
    RuntimeArgs args{};
    TensorSet* out = nullptr;
    EXPECT_EQ(library.init(args), 2);
    EXPECT_EQ(library.loadModels(0, nullptr), 2);
    EXPECT_EQ(library.enqueueInput(0, nullptr), 2);
    EXPECT_EQ(library.retrieveOutput(nullptr, &out, 1), 2);
    EXPECT_EQ(library.cleanup(), 2);
    EXPECT_STREQ(library.getError(), "Runtime not initialized.");
    // Texts are never null, so they can go into any "%s".
    EXPECT_STREQ(library.getName(), "");
    EXPECT_STREQ(library.getVersion(), "");
}

}  // namespace
