#include "greeting.h"

#include <cstdio>

extern "C" const char* demo_greeting(const char* name) {
    static char text[256];
    snprintf(text, sizeof text, "Hello, %s, from a library unpacked beside the main binary.", name);
    return text;
}
