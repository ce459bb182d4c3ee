// The optional third argument of open(2)-like calls, for the interposers
// that stand in for them.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstdarg>

// The mode is passed only with O_CREAT or O_TMPFILE; reading it otherwise
// would read an argument that is not there. O_TMPFILE includes O_DIRECTORY,
// so all of its bits are tested.
static inline mode_t open_mode_argument(int flags, va_list ap)
{
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
        return (mode_t)va_arg(ap, int);
    return 0;
}
