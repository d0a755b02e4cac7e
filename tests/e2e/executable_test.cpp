// Properties of the packed executables themselves: a GUI program with an 8 MiB stack and a
// manifest that needs nothing but system libraries on Windows, and a Linux program that needs
// nothing but the C library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// The value after `key` on the first line of objdump's output that starts with it.
std::string field(const std::string& dump, const std::string& key) {
    for (const auto& line : output_lines(dump)) {
        if (line.rfind(key, 0) != 0) continue;
        std::string rest = line.substr(key.size());
        rest.erase(0, rest.find_first_not_of(" \t"));
        return rest.substr(0, rest.find_first_of(" \t"));
    }
    return "<missing>";
}

std::vector<std::string> imported_libraries(const std::string& dump) {
    std::vector<std::string> names;
    const std::string key = "DLL Name: ";
    for (const auto& line : output_lines(dump)) {
        const auto at = line.find(key);
        if (at != std::string::npos) names.push_back(lower(line.substr(at + key.size())));
    }
    return names;
}

TEST(WindowsExecutable, GuiProgramWithAnEightMegabyteStackImportingOnlySystemLibraries) {
    if (!target_available(Target::Windows)) GTEST_SKIP() << "windows build missing";
    const fs::path& exe = packed_fixture(Target::Windows);
    const RunResult headers = run_command({"x86_64-w64-mingw32-objdump", "-p", exe.string()});
    ASSERT_EQ(headers.status, 0) << headers.err;
    EXPECT_EQ(field(headers.out, "Magic"), "020b");  // PE32+: a 64-bit executable
    EXPECT_EQ(field(headers.out, "Subsystem"), "00000002");
    EXPECT_EQ(field(headers.out, "SizeOfStackReserve"), "0000000000800000");
    EXPECT_EQ(field(headers.out, "SizeOfStackCommit"), "0000000000001000");

    const std::set<std::string> system = {"kernel32.dll", "msvcrt.dll", "shell32.dll", "advapi32.dll", "user32.dll"};
    const auto imports = imported_libraries(headers.out);
    EXPECT_FALSE(imports.empty());
    for (const auto& name : imports) EXPECT_TRUE(system.count(name) == 1) << "imports " << name;
}

TEST(WindowsExecutable, CarriesTheApplicationManifest) {
    if (!target_available(Target::Windows)) GTEST_SKIP() << "windows build missing";
    const fs::path& exe = packed_fixture(Target::Windows);
    const RunResult sections = run_command({"x86_64-w64-mingw32-objdump", "-h", exe.string()});
    ASSERT_EQ(sections.status, 0) << sections.err;
    EXPECT_NE(sections.out.find(" .rsrc "), std::string::npos) << sections.out;

    // The manifest is stored as its XML text.
    const std::string bytes = read_file(exe);
    // The five supported systems, Vista to 10.
    for (const char* text : {"level=\"asInvoker\" uiAccess=\"false\"", ">true</longPathAware>",
                             "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                             "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
        EXPECT_NE(bytes.find(text), std::string::npos) << "manifest lacks " << text;
    }
}

TEST(LinuxExecutable, NeedsOnlyTheCLibrary) {
    if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    const RunResult dynamic = run_command({"readelf", "-d", packed_fixture(Target::Linux).string()});
    ASSERT_EQ(dynamic.status, 0) << dynamic.err;
    const std::set<std::string> allowed = {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"};
    std::vector<std::string> needed;
    for (const auto& line : output_lines(dynamic.out)) {
        if (line.find("(NEEDED)") == std::string::npos) continue;
        const auto open = line.find('[');
        const auto close = line.find(']');
        if (open != std::string::npos && close != std::string::npos) needed.push_back(line.substr(open + 1, close - open - 1));
    }
    EXPECT_NE(std::find(needed.begin(), needed.end(), "libc.so.6"), needed.end());
    for (const auto& name : needed) EXPECT_TRUE(allowed.count(name) == 1) << "needs " << name;
}

}  // namespace
}  // namespace e2e
