#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "common/ini.h"
#include "support/temp_dir.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

TEST(Ini, ReadsKnownKeysAndKeepsDefaultsForTheRest) {
    const qzai::Ini config = qzai::parseIniText(
        "# comment line\n"
        "  MaxNumberConcurrentInputOutputThreads = 16  \r\n"
        "cacheRuntimeArchives=TRUE\n"
        "enableNvidiaTRTIntegration=1\n"
        "RuntimesStorageURL = https://mirror.local/runtimes#frag \n"
        "unknownKey=5\n"
        "\n"
        "HTTPRequestTimeout=2500\n"
        "logToFile=no\n",
        "test.ini");
    EXPECT_EQ(config.MaxNumberConcurrentInputOutputThreads, 16);
    EXPECT_TRUE(config.cacheRuntimeArchives);
    EXPECT_TRUE(config.enableNvidiaTRTIntegration);
    EXPECT_EQ(config.RuntimesStorageURL, "https://mirror.local/runtimes#frag");
    EXPECT_EQ(config.HTTPRequestTimeout, 2500);
    EXPECT_FALSE(config.logToFile);
    EXPECT_EQ(config.MaxNumberConcurrentInferences, 8);
    EXPECT_EQ(config.EngineThroughputWindowSize, 100);
    EXPECT_EQ(config.ExternalProcessorReadyCheckMaxRetries, 5);
    EXPECT_FALSE(config.alwaysShowRecoveryButtons);
    EXPECT_EQ(config.logVerbosity, 1);
}

TEST(Ini, UnreadableValueKeepsDefaultWithOneLogLine) {
    testing::internal::CaptureStderr();
    const qzai::Ini config = qzai::parseIniText(
        "MaxNumberConcurrentInferences=99999999999\n"
        "EngineThroughputWindowSize=12abc\n"
        "alwaysShowRecoveryButtons=maybe\n"
        "no equals sign here\n"
        "HTTPRequestTimeout=0\n",  // would fail every request at once
        "bad.ini");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(config.MaxNumberConcurrentInferences, 8);
    EXPECT_EQ(config.EngineThroughputWindowSize, 100);
    EXPECT_FALSE(config.alwaysShowRecoveryButtons);
    EXPECT_NE(log.find("Invalid value '99999999999' for MaxNumberConcurrentInferences in bad.ini"), std::string::npos);
    EXPECT_NE(log.find("Invalid value '12abc' for EngineThroughputWindowSize"), std::string::npos);
    EXPECT_NE(log.find("Invalid value 'maybe' for alwaysShowRecoveryButtons"), std::string::npos);
    EXPECT_EQ(config.HTTPRequestTimeout, 10000);
    EXPECT_NE(log.find("Invalid value '0' for HTTPRequestTimeout"), std::string::npos);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 5);
}

// ini() is built once per process, so this runs in a fresh child process.
TEST(Ini, ProcessWideConfigurationComesFromTheSetPath) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    qz::test::TempDir dir;
    dir.write(qzai::kIniFileName, "ExternalProcessorReadyCheckMaxRetries=9\n");
    EXPECT_EXIT(
        {
            qzai::setIniDirectory(dir.path().string());
            const bool first = qzai::ini().ExternalProcessorReadyCheckMaxRetries == 9;
            // Never reloaded: a later path is ignored.
            qzai::setIniPath(dir.file("other.ini"));
            const bool kept = qzai::ini().ExternalProcessorReadyCheckMaxRetries == 9 && &qzai::ini() == &qzai::ini();
            std::exit(first && kept ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(qzai::loadIniFile(dir.file("absent.ini")).ExternalProcessorReadyCheckMaxRetries, 5);
}
