#include "platform/command_line_join.h"

#include <cwchar>

namespace {

// Characters that make the splitter end or reinterpret an argument unless it is quoted. Carriage
// return is not among them: the splitter treats it as an ordinary character.
constexpr wchar_t QUOTE_FORCING[] = L" \t\n\v\"";

struct Line {
    wchar_t* text;
    size_t capacity;
    size_t length;
    bool overflow;
};

void put(Line* line, wchar_t c) {
    if (line->overflow || line->length + 2 > line->capacity) {
        line->overflow = true;
        return;
    }
    line->text[line->length++] = c;
    line->text[line->length] = L'\0';
}

void put_repeated(Line* line, wchar_t c, size_t count) {
    for (size_t i = 0; i < count; ++i) put(line, c);
}

void put_quoted(Line* line, const wchar_t* argument) {
    put(line, L'"');
    const wchar_t* p = argument;
    for (;;) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            ++backslashes;
            ++p;
        }
        if (*p == L'\0') {
            // Doubled, so that the closing quote stays a quote.
            put_repeated(line, L'\\', 2 * backslashes);
            break;
        }
        if (*p == L'"') {
            put_repeated(line, L'\\', 2 * backslashes + 1);
        } else {
            put_repeated(line, L'\\', backslashes);
        }
        put(line, *p);
        ++p;
    }
    put(line, L'"');
}

}  // namespace

bool join_command_line(wchar_t* const* arguments, int count, wchar_t* out, size_t capacity) {
    if (capacity == 0) return false;
    Line line{out, capacity, 0, false};
    out[0] = L'\0';
    for (int i = 0; i < count; ++i) {
        const wchar_t* argument = arguments[i];
        if (i > 0) put(&line, L' ');
        if (argument[0] == L'\0') {
            // Written as two quotes, so that the child receives an empty argument instead of none.
            put(&line, L'"');
            put(&line, L'"');
        } else if (wcspbrk(argument, QUOTE_FORCING) == nullptr) {
            for (const wchar_t* p = argument; *p != L'\0'; ++p) put(&line, *p);
        } else {
            put_quoted(&line, argument);
        }
    }
    if (line.overflow) {
        out[0] = L'\0';
        return false;
    }
    return true;
}
