// The main binary: greets the name given as the first argument (or "world"), prints the two data
// files shipped with it and exits with the status given as "--exit N".
#include <onefile/entry.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "greeting.h"

namespace {

// Arguments here are ASCII; anything else prints as '?'.
std::string narrow(const wchar_t* text)
{
    std::string out;
    for (; *text != L'\0'; ++text) {
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    }
    return out;
}

// The first line of a file beside the main binary: the unpacked application directory.
std::string first_line(const wchar_t* main_binary_path, const wchar_t* relative)
{
    std::wstring path(main_binary_path);
    path.erase(path.find_last_of(L"/\\") + 1);
    path += relative;
#if defined(_WIN32)
    FILE* file = _wfopen(path.c_str(), L"r");
#else
    FILE* file = std::fopen(narrow(path.c_str()).c_str(), "r");
#endif
    if (file == nullptr) {
        return "(missing)";
    }
    char line[256] = "";
    if (std::fgets(line, sizeof line, file) == nullptr) {
        line[0] = '\0';
    }
    std::fclose(file);
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

ONEFILE_ENTRY onefile_main(int argc, wchar_t** argv, const wchar_t* main_binary_path)
{
    std::string name = "world";
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--exit") == 0 && i + 1 < argc) {
            status = static_cast<int>(std::wcstol(argv[++i], nullptr, 10));
        } else {
            name = narrow(argv[i]);
        }
    }
    std::printf("%s\n", hello_greeting(name.c_str()));
#if defined(_WIN32)
    const wchar_t* french = L"lang\\fr.txt";
#else
    const wchar_t* french = L"lang/fr.txt";
#endif
    std::printf("message.txt: %s\n", first_line(main_binary_path, L"message.txt").c_str());
    std::printf("lang/fr.txt: %s\n", first_line(main_binary_path, french).c_str());
    std::fflush(stdout);
    return status;
}
