// Messages that carry a path print it whole: the runtime's own formatting would stop at the first
// character the "C" locale cannot convert (a Cyrillic or CJK user name in the temporary path).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <string>

#include "common/errors.h"
#include "common/state.h"
#include "test_support.h"

namespace {

TEST(WholeText, PathOfTheOpenErrorArrivesWholeInUtf8) {
    EXPECT_EXIT(
        {
            wcscpy(g_state.output_path, L"C:\\Users\\\x0418\x0432\x0430\x043D\\AppData\\\x6587\x4EF6.dll");
            exit_with_open_error();
        },
        unit::reported_failure(),
        unit::output_is("Error, failed to open 'C:\\Users\\\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\\AppData\\"
                        "\xE6\x96\x87\xE4\xBB\xB6.dll' for writing.\n"));
}

TEST(WholeText, PathSpecOfTheExpansionErrorArrivesWhole) {
    EXPECT_EXIT(abort_with_error(L"{TEMP}\\\x00E9t\x00E9\\x"), unit::fatal_stop(),
                unit::output_is("Error, couldn't runtime expand spec '{TEMP}\\\xC3\xA9t\xC3\xA9\\x'.\n"));
}

}  // namespace
