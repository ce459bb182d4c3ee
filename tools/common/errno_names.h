// Error numbers by name, for the emulations' configuration and logs. Each
// emulation keeps its own table of the names it knows.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct ErrnoName {
    int value;
    const char *name;
};

// The name of err, or its number written into buf when the table lacks it.
template <size_t N>
static const char *errno_name_in(const ErrnoName (&names)[N], int err, char *buf, size_t len)
{
    for (const ErrnoName &e : names)
        if (e.value == err)
            return e.name;
    snprintf(buf, len, "%d", err);
    return buf;
}

// The error number a name or a plain positive number stands for, or -1.
template <size_t N> static int errno_from_name_in(const ErrnoName (&names)[N], const char *name)
{
    for (const ErrnoName &e : names)
        if (strcmp(e.name, name) == 0)
            return e.value;
    char *end;
    const long v = strtol(name, &end, 10);
    return end == name || *end || v <= 0 || v > 4095 ? -1 : (int)v;
}
