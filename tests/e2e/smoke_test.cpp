#include <gtest/gtest.h>

#include <cstdlib>

#include "harness.h"

namespace e2e {

class Smoke : public ::testing::TestWithParam<Target> {
protected:
    void SetUp() override {
        if (!target_available(GetParam())) {
            if (getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) FAIL() << target_name(GetParam()) << " build missing";
            GTEST_SKIP() << target_name(GetParam()) << " build missing; build that preset first";
        }
    }
};

TEST_P(Smoke, MainBinaryExitStatusBecomesTheLaunchersAndNothingIsLeft) {
    const Target target = GetParam();
    ScratchDir scratch;
    make_fixture_app(target, scratch / "app");
    const auto exe = scratch / "app.exe";
    pack(target, scratch / "app", library_name(target, "fixture_app"), exe);
    const auto before = target_directories(target);
    const RunResult result = run(target, exe, {.arguments = {"exit", "7"}});
    EXPECT_EQ(result.status, 7) << result.err;
    EXPECT_EQ(target_directories(target), before);
}

INSTANTIATE_TEST_SUITE_P(Targets, Smoke, ::testing::Values(Target::Linux, Target::Windows),
                         [](const auto& info) { return target_name(info.param); });

}  // namespace e2e
