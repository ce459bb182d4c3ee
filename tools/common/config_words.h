// The word splitting and number reading of the emulated devices'
// configuration and state files.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

enum { CONFIG_MAX_WORDS = 40 };

// Splits a line into blank-separated words (in place); '#' starts a comment.
// Returns the number of words, or -1 when there are more than max.
static inline int config_split_words(char *line, char **words, int max)
{
    int n = 0;
    char *p = line;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\r')
            p++;
        if (!*p || *p == '#')
            break;
        if (n == max)
            return -1;
        words[n++] = p;
        while (*p && *p != ' ' && *p != '\t' && *p != '\r')
            p++;
        if (*p)
            *p++ = '\0';
    }
    return n;
}

// A whole word in C notation (decimal, 0x hexadecimal, 0 octal) that fits 32 bits.
static inline bool config_number(const char *text, uint32_t *out)
{
    char *end;
    errno = 0;
    const unsigned long long v = strtoull(text, &end, 0);
    if (end == text || *end || errno || v > UINT32_MAX || text[0] == '-')
        return false;
    *out = (uint32_t)v;
    return true;
}

// Hands the words of each line of text to take(words, n), skipping blank and
// comment lines. On a line too long or one take refuses, says which in err
// and returns false.
template <typename Take>
static bool config_read_lines(const char *text, char *err, size_t err_len, Take take)
{
    char line[512];
    int line_number = 0;
    for (const char *p = text; *p;) {
        const char *end = strchr(p, '\n');
        const size_t len = end ? (size_t)(end - p) : strlen(p);
        line_number++;
        if (len >= sizeof line) {
            snprintf(err, err_len, "line %d: too long", line_number);
            return false;
        }
        memcpy(line, p, len);
        line[len] = '\0';
        p += len + (end ? 1 : 0);
        char *words[CONFIG_MAX_WORDS];
        const int n = config_split_words(line, words, CONFIG_MAX_WORDS);
        if (n == 0)
            continue;
        if (n < 0 || !take(words, n)) {
            snprintf(err, err_len, "line %d: cannot read \"%s\"", line_number,
                     n > 0 ? words[0] : "");
            return false;
        }
    }
    return true;
}
