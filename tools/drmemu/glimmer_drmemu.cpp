// glimmer-drmemu: sets up and inspects emulated DRM cards in a directory.
//
//   glimmer-drmemu DIR init N PRESET [LINE]...   write cardN.conf: a preset
//                                                (bochs, virtio, virtio2, cirrus,
//                                                or "-" for none) and more lines
//   glimmer-drmemu DIR state N                   print the card as it stands
//   glimmer-drmemu DIR log N                     print the request log
//   glimmer-drmemu DIR capture N HEAD OUT.png    save what connector HEAD shows
#include "drmemu.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static int usage()
{
    fputs("usage: glimmer-drmemu DIR init N PRESET|- [LINE]...\n"
          "       glimmer-drmemu DIR state N\n"
          "       glimmer-drmemu DIR log N\n"
          "       glimmer-drmemu DIR capture N HEAD OUT.png\n",
          stderr);
    return 2;
}

static bool number(const char *text, int limit, int *out)
{
    char *end;
    const long v = strtol(text, &end, 10);
    if (end == text || *end || v < 0 || v >= limit)
        return false;
    *out = (int)v;
    return true;
}

int main(int argc, char **argv)
{
    int n;
    if (argc < 4 || !number(argv[3], DRMEMU_MAX_CARDS, &n))
        return usage();
    const std::string dir = argv[1], command = argv[2];
    std::string why;
    if (command == "init" && argc >= 5) {
        std::string text;
        if (strcmp(argv[4], "-") != 0) {
            text = glimmer_drmemu_preset(argv[4]);
            if (text.empty()) {
                fprintf(stderr, "glimmer-drmemu: no preset %s\n", argv[4]);
                return 2;
            }
        }
        for (int i = 5; i < argc; i++)
            text += std::string(argv[i]) + "\n";
        if (!glimmer_drmemu_write_config(dir, n, text, &why)) {
            fprintf(stderr, "glimmer-drmemu: card%d: %s\n", n, why.c_str());
            return 1;
        }
        return 0;
    }
    DrmemuDevice state;
    if (!glimmer_drmemu_read_state(dir, n, &state)) {
        fprintf(stderr, "glimmer-drmemu: no card%d in %s (run init first)\n", n, dir.c_str());
        return 1;
    }
    if (command == "state" && argc == 4) {
        fputs(glimmer_drmemu_describe(state).c_str(), stdout);
        return 0;
    }
    if (command == "log" && argc == 4) {
        for (const FbemuLogEntry &e : glimmer_drmemu_read_log(dir, n))
            printf("%s\n", e.line.c_str());
        return 0;
    }
    int head;
    if (command == "capture" && argc == 6 && number(argv[4], DRMEMU_MAX_CONNECTORS, &head)) {
        if (!glimmer_drmemu_save_capture_png(dir, n, head, argv[5], &why)) {
            fprintf(stderr, "glimmer-drmemu: card%d: %s\n", n, why.c_str());
            return 1;
        }
        return 0;
    }
    return usage();
}
