// glimmer-fbshot DIR N OUT.png: saves what emulated framebuffer N in DIR shows.
#include "fbemu.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "Usage: %s DIR N OUT.png\n", argc > 0 ? argv[0] : "glimmer-fbshot");
        return 2;
    }
    char *end;
    const long n = strtol(argv[2], &end, 10);
    if (end == argv[2] || *end || n < 0 || n >= FBEMU_MAX_DEVICES) {
        fprintf(stderr, "%s: no such device number: %s\n", argv[0], argv[2]);
        return 2;
    }
    if (!glimmer_fbemu_save_shown_png(argv[1], (int)n, argv[3])) {
        fprintf(stderr, "%s: cannot save what %s/fb%ld shows as %s\n", argv[0], argv[1], n,
                argv[3]);
        return 1;
    }
    return 0;
}
