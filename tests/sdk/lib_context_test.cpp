#include <gtest/gtest.h>

#include "qz/sdk/helpers/lib_context.h"
#include "qz/sdk/helpers/string_map.h"
#include "qz/sdk/helpers/unit_test_options.h"
#include "support/log_capture.h"

namespace qz::sdk {
namespace {

class Registry final : public RefCountable<IRefCountableRegistry> {
public:
    int live = 0;
    void notifyCreated(const IRefCountable*, int) override { ++live; }
    void notifyDestroyed(const IRefCountable*, int) override { --live; }
};

// The in-process context can be set once per process, so one test covers it.
TEST(LibContext, NameAndRegistryAreSetOnceAndTheRegistrySeesObjects) {
    test::LogCapture log;
    ILibContext& context = libContext();
    EXPECT_TRUE(context.setName("sdk_tests"));
    EXPECT_FALSE(context.setName("other"));
    EXPECT_FALSE(context.setName(nullptr));
    EXPECT_STREQ(context.name(), "sdk_tests");

    auto registry = makePtr<Registry>();
    auto second = makePtr<Registry>();
    EXPECT_FALSE(context.setRefCountableRegistry(nullptr));
    EXPECT_TRUE(context.setRefCountableRegistry(registry.get()));
    EXPECT_FALSE(context.setRefCountableRegistry(second.get()));
    EXPECT_EQ(second->refCount(), 1);  // a refused registry is not kept
    EXPECT_EQ(registry->refCount(), 2);
    {
        auto map = makePtr<StringMap>();
        EXPECT_EQ(registry->live, 1);
    }
    EXPECT_EQ(registry->live, 0);
    EXPECT_NE(log.text().find("[sdk_tests] ILibContext::setName: the name is already set; \"other\" refused"),
        std::string::npos);
    EXPECT_NE(log.text().find("the registry is already set"), std::string::npos);
}

TEST(UnitTestOptions, ReplacedWholeAndNullIsRefused) {
    test::LogCapture log;
    auto options = makePtr<StringMap>(std::map<std::string, std::string>{{"iniPath", "/tmp/x.ini"}, {"", "lost"}});
    EXPECT_EQ(options->count(), 1);
    setUnitTestOptions(options.get());
    EXPECT_EQ(unitTestOption(kUnitTestOptionIniPath), "/tmp/x.ini");
    setUnitTestOptions(nullptr);
    EXPECT_EQ(unitTestOption(kUnitTestOptionIniPath), "/tmp/x.ini");
    setUnitTestOptions(makePtr<StringMap>().get());
    EXPECT_EQ(unitTestOption(kUnitTestOptionIniPath), "");
    EXPECT_NE(log.text().find("empty key"), std::string::npos);
    EXPECT_NE(log.text().find("null options refused"), std::string::npos);
}

}  // namespace
}  // namespace qz::sdk
