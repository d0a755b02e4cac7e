// The library the main binary imports: unpacked beside it, found there at run time.
#pragma once

#if defined(_WIN32)
#if defined(HELLO_GREETING_BUILD)
#define HELLO_GREETING_API __declspec(dllexport)
#else
#define HELLO_GREETING_API __declspec(dllimport)
#endif
#else
#define HELLO_GREETING_API __attribute__((visibility("default")))
#endif

// "Hello, <name>!" in static storage.
extern "C" HELLO_GREETING_API const char* hello_greeting(const char* name);
