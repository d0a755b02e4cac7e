#include "greeting.h"

#include <cstdio>

extern "C" const char* hello_greeting(const char* name)
{
    static char text[256];
    std::snprintf(text, sizeof text, "Hello, %s!", name);
    return text;
}
