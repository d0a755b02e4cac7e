/* The entry point a main binary exports for the onefile launcher.
 *
 * The launcher loads the main binary (a DLL on Windows, a shared object on Linux) in the child
 * process and calls its entry on the main thread:
 *
 *     ONEFILE_ENTRY onefile_main(int argc, wchar_t** argv, const wchar_t* main_binary_path)
 *
 * argc/argv are the process's arguments as the runtime parsed them (argument 0 names the launcher's
 * executable); main_binary_path is the unpacked main binary's own full path. The return value is
 * the exit status of the whole program.
 *
 * Windows: export it by ordinal 1 without a name, with a module-definition file containing
 *     EXPORTS
 *         onefile_main @1 NONAME
 * Linux: the symbol onefile_main is looked up by name; link with -Wl,-rpath,'$ORIGIN' so that the
 * libraries unpacked beside the main binary are found.
 */
#ifndef ONEFILE_ENTRY_H
#define ONEFILE_ENTRY_H

#include <wchar.h>

#ifdef __cplusplus
#define ONEFILE_EXTERN_C extern "C"
#else
#define ONEFILE_EXTERN_C
#endif

#if defined(_WIN32)
#define ONEFILE_ENTRY ONEFILE_EXTERN_C int __cdecl
#else
#define ONEFILE_ENTRY ONEFILE_EXTERN_C __attribute__((visibility("default"))) int
#endif

typedef int (*onefile_main_function)(int argc, wchar_t** argv, const wchar_t* main_binary_path);

#endif
