// The unit suite's entry: the launcher's platform layer starts first, as in the launcher itself,
// so the argument vector and the rest of the platform state are those of a real start.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "test_support.h"

int main(int argc, char** argv) {
    platform_start(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return unit::run_all_tests_in_scratch();
}
