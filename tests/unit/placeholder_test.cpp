#include <gtest/gtest.h>
#include "environment/path_spec.h"
TEST(RandomToken, WorkedExample) {
    wchar_t token[12];
    make_random_token(1, token);
    EXPECT_STREQ(token, L"IQHFT9HQGrI");
}
