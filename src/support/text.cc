#include "support/text.h"

#include <bsd/string.h>

#include <cctype>
#include <cstring>

namespace {

bool is_space(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

char *trim_space(char *s) {
    while (is_space(*s)) {
        s++;
    }
    size_t n = strlen(s);
    while (n > 0 && is_space(s[n - 1])) {
        s[--n] = '\0';
    }
    return s;
}

int copy_lower(char *dst, const char *src, size_t size) {
    if (size == 0) {
        return 0;
    }
    if (strlcpy(dst, src, size) >= size) {
        return 0;
    }
    for (char *p = dst; *p != '\0'; p++) {
        *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    }
    return 1;
}
