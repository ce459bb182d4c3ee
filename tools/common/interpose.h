// What the LD_PRELOAD interposers share: the export convention, the lookup
// of the next definition of a wrapped function, and the family of open(2)
// wrappers. Define INTERPOSE_NAME (the prefix of the interposer's messages)
// before including this header.
#pragma once

#include "open_mode.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>

#ifndef INTERPOSE_NAME
#error "define INTERPOSE_NAME before including interpose.h"
#endif

#define EXPORT extern "C" __attribute__((visibility("default")))

typedef int (*OpenFn)(const char *, int, ...);
typedef int (*OpenatFn)(int, const char *, int, ...);
typedef int (*Open2Fn)(const char *, int);
typedef int (*Openat2Fn)(int, const char *, int);
typedef int (*IoctlFn)(int, unsigned long, ...);
typedef int (*CloseFn)(int);

// A wrapper without a next definition cannot do its job: stop at once.
static void *next_symbol(const char *name)
{
    void *f = dlsym(RTLD_NEXT, name);
    if (!f) {
        static const char text[] = INTERPOSE_NAME ": no next definition of a wrapped function\n";
        (void)!write(2, text, sizeof text - 1);
        _exit(127);
    }
    return f;
}

#define NEXT(type, name)                                                                           \
    static type next_##name;                                                                       \
    if (!next_##name)                                                                              \
    next_##name = (type)next_symbol(#name)

// Defines open, open64, openat, openat64 and the checked variants that
// _FORTIFY_SOURCE builds call. claim(path) returns the number of the
// emulated device the path names, or -1; open_claimed(n, flags) opens that
// device. Every other open goes on to the next definition.
#define INTERPOSE_OPENS(claim, open_claimed)                                                       \
    INTERPOSE_OPEN_VARIADIC(open, OpenFn, (const char *path, int flags, ...), (path, flags, mode), \
                            claim, open_claimed)                                                   \
    INTERPOSE_OPEN_VARIADIC(open64, OpenFn, (const char *path, int flags, ...),                    \
                            (path, flags, mode), claim, open_claimed)                              \
    INTERPOSE_OPEN_VARIADIC(openat, OpenatFn, (int dirfd, const char *path, int flags, ...),       \
                            (dirfd, path, flags, mode), claim, open_claimed)                       \
    INTERPOSE_OPEN_VARIADIC(openat64, OpenatFn, (int dirfd, const char *path, int flags, ...),     \
                            (dirfd, path, flags, mode), claim, open_claimed)                       \
    INTERPOSE_OPEN_CHECKED(__open_2, Open2Fn, (const char *path, int flags), (path, flags), claim, \
                           open_claimed)                                                           \
    INTERPOSE_OPEN_CHECKED(__open64_2, Open2Fn, (const char *path, int flags), (path, flags),      \
                           claim, open_claimed)                                                    \
    INTERPOSE_OPEN_CHECKED(__openat_2, Openat2Fn, (int dirfd, const char *path, int flags),        \
                           (dirfd, path, flags), claim, open_claimed)                              \
    INTERPOSE_OPEN_CHECKED(__openat64_2, Openat2Fn, (int dirfd, const char *path, int flags),      \
                           (dirfd, path, flags), claim, open_claimed)

#define INTERPOSE_OPEN_VARIADIC(name, type, params, args, claim, open_claimed)                     \
    EXPORT int name params                                                                         \
    {                                                                                              \
        va_list ap;                                                                                \
        va_start(ap, flags);                                                                       \
        const mode_t mode = open_mode_argument(flags, ap);                                         \
        va_end(ap);                                                                                \
        const int n = claim(path);                                                                 \
        if (n >= 0)                                                                                \
            return open_claimed(n, flags);                                                         \
        NEXT(type, name);                                                                          \
        return next_##name args;                                                                   \
    }

#define INTERPOSE_OPEN_CHECKED(name, type, params, args, claim, open_claimed)                      \
    EXPORT int name params                                                                         \
    {                                                                                              \
        const int n = claim(path);                                                                 \
        if (n >= 0)                                                                                \
            return open_claimed(n, flags);                                                         \
        NEXT(type, name);                                                                          \
        return next_##name args;                                                                   \
    }
