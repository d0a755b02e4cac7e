// The demo's library: the main binary imports it, so it must be found beside the main binary.
#pragma once

#if defined(_WIN32)
#if defined(DEMO_GREETING_BUILD)
#define DEMO_GREETING_API __declspec(dllexport)
#else
#define DEMO_GREETING_API __declspec(dllimport)
#endif
#else
#define DEMO_GREETING_API __attribute__((visibility("default")))
#endif

// A greeting for the given name, in static storage.
extern "C" DEMO_GREETING_API const char* demo_greeting(const char* name);
