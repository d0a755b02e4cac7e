/* The trivial application run directly, without a launcher: loads the main binary that lies
 * beside this program, calls its onefile_main entry with this process's arguments and returns
 * what the entry returns. With the arguments "exit 0" the entry returns 0 at once.
 *
 * Linux:   gcc -O2 -o host host.c -ldl           (main binary: fixture_app.so)
 * Windows: x86_64-w64-mingw32-gcc -O2 -municode -o host.exe host.c   (main binary: fixture_app.dll)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

typedef int (*entry_function)(int argc, wchar_t** argv, const wchar_t* main_binary_path);

#ifdef _WIN32
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 120;
    wchar_t* slash = wcsrchr(path, L'\\');
    if (slash == NULL || (size_t)(slash - path) + 17 >= MAX_PATH) return 121;
    wcscpy(slash + 1, L"fixture_app.dll");
    HMODULE module = LoadLibraryW(path);
    if (module == NULL) return 122;
    entry_function entry = (entry_function)(void*)GetProcAddress(module, MAKEINTRESOURCEA(1));
    if (entry == NULL) return 123;
    return entry(argc, argv, path);
}

#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

int main(int argc, char** argv) {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return 120;
    path[length] = '\0';
    char* slash = strrchr(path, '/');
    if (slash == NULL || (size_t)(slash - path) + 16 >= sizeof path) return 121;
    strcpy(slash + 1, "fixture_app.so");
    void* module = dlopen(path, RTLD_NOW);
    if (module == NULL) return 122;
    entry_function entry = (entry_function)dlsym(module, "onefile_main");
    if (entry == NULL) return 123;

    wchar_t** wide = calloc((size_t)argc + 1, sizeof *wide);
    wchar_t wide_path[PATH_MAX];
    if (wide == NULL || mbstowcs(wide_path, path, PATH_MAX) == (size_t)-1) return 124;
    for (int i = 0; i < argc; ++i) {
        size_t n = strlen(argv[i]) + 1;
        wide[i] = calloc(n, sizeof(wchar_t));
        if (wide[i] == NULL || mbstowcs(wide[i], argv[i], n) == (size_t)-1) return 124;
    }
    return entry(argc, wide, wide_path);
}
#endif
