// The demo application: one main binary, one library it imports and a data file in a
// subdirectory, shipped as one executable. It prints its arguments, the launcher's variables and
// a line of its data file, and exits with the status given as "--exit N".
#include <onefile/entry.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "greeting.h"

namespace {

// Wide text as UTF-8, for printing the same way on both platforms.
std::string utf8(const wchar_t* text) {
    std::string out;
    for (; *text != L'\0'; ++text) {
        unsigned long cp = static_cast<unsigned long>(*text);
        if (cp >= 0xD800 && cp <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<unsigned long>(text[1]) - 0xDC00);
            ++text;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::string variable(const char* name) {
#if defined(_WIN32)
    wchar_t wide[64];
    size_t i = 0;
    for (; name[i] != '\0' && i < 63; ++i) wide[i] = static_cast<wchar_t>(name[i]);
    wide[i] = L'\0';
    const wchar_t* value = _wgetenv(wide);
    return value != nullptr ? utf8(value) : "(not set)";
#else
    const char* value = getenv(name);
    return value != nullptr ? value : "(not set)";
#endif
}

}  // namespace

ONEFILE_ENTRY onefile_main(int argc, wchar_t** argv, const wchar_t* main_binary_path) {
    printf("%s\n", demo_greeting("world"));
    int status = 0;
    for (int i = 0; i < argc; ++i) {
        printf("argument %d: %s\n", i, utf8(argv[i]).c_str());
        if (wcscmp(argv[i], L"--exit") == 0 && i + 1 < argc) status = static_cast<int>(wcstol(argv[i + 1], nullptr, 10));
    }
    for (const char* name : {"VARNOK_ONEFILE_PARENT", "VARNOK_ONEFILE_DIRECTORY", "VARNOK_ORIGINAL_ARGV0"}) {
        printf("%s=%s\n", name, variable(name).c_str());
    }
    std::string data_path = utf8(main_binary_path);
    data_path.erase(data_path.find_last_of("/\\") + 1);
    data_path += "data";
    data_path += (data_path.find('\\') != std::string::npos) ? "\\message.txt" : "/message.txt";
#if defined(_WIN32)
    // The path came from the system as UTF-16; the narrow open takes the runtime's code page, so
    // open with the wide name instead.
    std::wstring wide_path(main_binary_path);
    wide_path.erase(wide_path.find_last_of(L"/\\") + 1);
    wide_path += L"data\\message.txt";
    FILE* data = _wfopen(wide_path.c_str(), L"r");
#else
    FILE* data = fopen(data_path.c_str(), "r");
#endif
    char line[256] = "(data file missing)";
    if (data != nullptr) {
        if (fgets(line, sizeof line, data) == nullptr) line[0] = '\0';
        fclose(data);
    }
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    printf("data/message.txt says: %s\n", text.c_str());
    printf("exit status: %d\n", status);
    return status;
}
