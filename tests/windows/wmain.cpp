// The Windows entry of the test binaries: a wide main, so that the runtime parses the wide argument
// vector that the launcher's "{PROGRAM}" reads (a narrow main leaves it unset).
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "../unit/test_support.h"

int wmain(int argc, wchar_t** argv) {
    platform_start(0, nullptr);
    ::testing::InitGoogleTest(&argc, argv);
    return unit::run_all_tests_in_scratch();
}
