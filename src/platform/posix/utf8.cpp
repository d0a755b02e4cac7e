#include "utf8.h"

#include <cstdint>
#include <cstdlib>
#include <cwchar>

namespace {

size_t encode(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// A byte that is not part of valid UTF-8 is carried as the lone surrogate U+DC00 + byte, which the
// encoder turns back into that byte: names the system hands us round-trip exactly, so a file whose
// name is not UTF-8 can still be found and removed.
constexpr uint32_t ESCAPE_BASE = 0xDC00;

uint32_t escape(const unsigned char* p, size_t* used) {
    *used = 1;
    return ESCAPE_BASE + p[0];
}

// Decodes one character at `p`; sets `*used` to the bytes consumed.
uint32_t decode(const unsigned char* p, size_t* used) {
    const unsigned char b = p[0];
    int extra = 0;
    uint32_t cp = 0;
    uint32_t minimum = 0;
    if (b < 0x80) {
        *used = 1;
        return b;
    } else if ((b & 0xE0) == 0xC0) {
        extra = 1, cp = b & 0x1F, minimum = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        extra = 2, cp = b & 0x0F, minimum = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        extra = 3, cp = b & 0x07, minimum = 0x10000;
    } else {
        return escape(p, used);
    }
    for (int i = 1; i <= extra; ++i) {
        if ((p[i] & 0xC0) != 0x80) return escape(p, used);
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return escape(p, used);
    *used = static_cast<size_t>(extra) + 1;
    return cp;
}

}  // namespace

bool wide_to_utf8(const wchar_t* in, char* out, size_t capacity) {
    size_t length = 0;
    for (const wchar_t* p = in; *p != L'\0'; ++p) {
        uint32_t cp = static_cast<uint32_t>(*p);
        if (cp >= 0xD800 && cp <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(p[1]) - 0xDC00);
            ++p;
        } else if (cp >= ESCAPE_BASE + 0x80 && cp <= ESCAPE_BASE + 0xFF) {
            if (length + 2 > capacity) return false;
            out[length++] = static_cast<char>(cp - ESCAPE_BASE);
            continue;
        } else if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            cp = 0xFFFD;
        }
        char bytes[4];
        const size_t n = encode(cp, bytes);
        if (length + n + 1 > capacity) return false;
        for (size_t i = 0; i < n; ++i) out[length++] = bytes[i];
    }
    if (length + 1 > capacity) return false;
    out[length] = '\0';
    return true;
}

size_t utf8_to_wide(const char* in, wchar_t* out, size_t capacity) {
    size_t length = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(in);
    while (*p != 0) {
        size_t used = 0;
        const uint32_t cp = decode(p, &used);
        if (length + 1 < capacity) out[length] = static_cast<wchar_t>(cp);
        ++length;
        p += used;
    }
    if (length + 1 > capacity) return length + 1;
    out[length] = L'\0';
    return length;
}

wchar_t* utf8_to_wide_alloc(const char* in) {
    const size_t needed = utf8_to_wide(in, nullptr, 0);
    auto* out = static_cast<wchar_t*>(malloc(needed * sizeof(wchar_t)));
    if (out != nullptr) utf8_to_wide(in, out, needed);
    return out;
}

char* wide_to_utf8_alloc(const wchar_t* in) {
    const size_t capacity = wcslen(in) * 4 + 1;
    auto* out = static_cast<char*>(malloc(capacity));
    if (out != nullptr && !wide_to_utf8(in, out, capacity)) {
        free(out);
        return nullptr;
    }
    return out;
}
