// The names Windows maps to devices: refused by the Windows launcher before anything is written.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "platform/device_names.h"
#include "test_support.h"

namespace {

TEST(DeviceNames, Classifies) {
    const struct {
        const wchar_t* name;
        bool device;
    } cases[] = {
        {L"NUL", true},        {L"nul", true},        {L"Nul.txt", true},     {L"nul.tar.gz", true},
        {L"CON", true},        {L"prn", true},        {L"aux.h", true},       {L"COM1", true},
        {L"com9.log", true},   {L"LPT1", true},       {L"lpt5.x", true},      {L"NUL ", true},
        {L"nul .txt", true},   {L"COM0", false},      {L"COM10", false},      {L"LPT", false},
        {L"NULL", false},      {L"nul_", false},      {L"CONSOLE", false},    {L"xnul", false},
        {L".nul", false},      {L"au", false},        {L"", false},           {L"COMA", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_windows_device_name(c.name, wcslen(c.name)), c.device) << unit::path_of(c.name).string();
    }
}

}  // namespace
