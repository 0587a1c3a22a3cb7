// What a host leaves in the library when it has finished with it.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "common/support/log_waiter.h"
#include "engine/library_use.h"
#include "inference/preprocessing/input_tensors.h"
#include "platform/environment.h"
#include "qz/sdk/helpers/string_map.h"
#include "qz/sdk/helpers/unit_test_options.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

TEST(LibraryUse, TheNextUseStartsWithoutTheWarningsEnvironmentAndOptionsOfTheLastOne) {
    qz::test::LogWaiter log;
    qzai::pipeline_stage_parameters_t stage;
    stage.key = "stage-of-the-library-use";
    const char* const variable = "QZ_LIBRARY_USE_TEST_VARIABLE";
    ::unsetenv(variable);
    {
        qzai::LibraryUse use;
        EXPECT_FALSE(qzai::hasUsableInputs(stage));
        EXPECT_FALSE(qzai::hasUsableInputs(stage));
        EXPECT_FALSE(qzai::ProcessEnvironment::current().get(variable));
        ::setenv(variable, "set later", 1);
        EXPECT_FALSE(qzai::ProcessEnvironment::current().get(variable));
        // The next host hands over its options before this use has ended.
        qz::sdk::setUnitTestOptions(qz::sdk::makePtr<qz::sdk::StringMap>(
            std::map<std::string, std::string>{{qz::sdk::kUnitTestOptionIniPath, "/next.ini"}}).get());
    }
    {
        qzai::LibraryUse use;
        EXPECT_FALSE(qzai::hasUsableInputs(stage));
        EXPECT_EQ(qzai::ProcessEnvironment::current().get(variable).value_or(""), "set later");
        EXPECT_EQ(qz::sdk::unitTestOption(qz::sdk::kUnitTestOptionIniPath), "/next.ini");
    }
    EXPECT_EQ(log.count("stage-of-the-library-use"), 2u) << log.text();
    EXPECT_EQ(qz::sdk::unitTestOption(qz::sdk::kUnitTestOptionIniPath), "");
    ::unsetenv(variable);
}

}  // namespace
