// What a host leaves in the library when it has finished with it.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "common/support/log_waiter.h"
#include "engine/library_use.h"
#include "inference/preprocessing/input_tensors.h"
#include "platform/environment.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

TEST(LibraryUse, TheNextUseStartsWithoutTheWarningsAndEnvironmentOfTheLastOne) {
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
    }
    {
        qzai::LibraryUse use;
        EXPECT_FALSE(qzai::hasUsableInputs(stage));
        EXPECT_EQ(qzai::ProcessEnvironment::current().get(variable).value_or(""), "set later");
    }
    EXPECT_EQ(log.count("stage-of-the-library-use"), 2u) << log.text();
    ::unsetenv(variable);
}

}  // namespace
