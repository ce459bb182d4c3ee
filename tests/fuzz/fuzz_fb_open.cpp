// Opening the framebuffer against any device the emulator can describe:
// geometry, depth, channel bitfields, line lengths shorter than a row,
// memory too small, memory starting inside a page, refused and odd request
// answers. Whatever glimmer_output_open accepts, the start-up scene, a progress
// value and a message are drawn and flipped onto it, and nothing may land
// outside the pixel rows of its pages.
//
// The emulator's interposer is linked into this program, so the device is
// the emulated one whatever the environment says. The memory file is mapped
// exactly as the program asks, but into the middle of a reserved range of
// inaccessible pages: a write past either end of the mapping faults, and a
// write into the unused end of its last page is found afterwards.
#include "fuzz_support.h"

#include "app/command.h"
#include "app/layout.h"
#include "fbdev/fbdev.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

uint8_t *reserved;
size_t reserved_length;
std::string emu_dir;

} // namespace

extern "C" void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    typedef void *(*MmapFn)(void *, size_t, int, int, int, off_t);
    static const MmapFn next = (MmapFn)dlsym(RTLD_NEXT, "mmap");
    if (addr || fd < 0 || !(flags & MAP_SHARED) || reserved || length == 0)
        return next(addr, length, prot, flags, fd, offset);
    const size_t page = (size_t)getpagesize(), span = (length + page - 1) / page * page;
    void *area = next(nullptr, span + 2 * page, PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (area == MAP_FAILED)
        return area;
    void *m = next((uint8_t *)area + page, length, prot, flags | MAP_FIXED, fd, offset);
    if (m == MAP_FAILED) {
        munmap(area, span + 2 * page);
        return m;
    }
    reserved = (uint8_t *)area;
    reserved_length = span + 2 * page;
    return m;
}

static void remove_device_files()
{
    for (const char *suffix : {"conf", "state", "mem", "log", "lock"})
        (void)unlink((emu_dir + "/fb0." + suffix).c_str());
}

static void remove_emu_dir()
{
    remove_device_files();
    (void)rmdir(emu_dir.c_str());
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char dir[] = "/dev/shm/glimmer-fuzz-fb-XXXXXX";
    if (!mkdtemp(dir))
        fuzz_fail("cannot make the emulator's directory");
    emu_dir = dir;
    setenv("GLIMMER_EMU_DIR", dir, 1);
    atexit(remove_emu_dir);
    return 0;
}

// The device's configuration in the emulator's "key value" lines.
static std::string device_config(FuzzInput &in)
{
    static const char *const requests[] = {"FBIOGET_VSCREENINFO", "FBIOPUT_VSCREENINFO",
                                           "FBIOGET_FSCREENINFO", "FBIOPAN_DISPLAY",
                                           "FBIO_WAITFORVSYNC"};
    static const char *const errors[] = {"EINVAL", "ENOTTY", "EIO", "EBUSY"};
    static const uint32_t depths[] = {8, 15, 16, 24, 32, 1, 12, 4};
    std::string t;
    auto line = [&t](const char *key, uint32_t value) {
        t += std::string(key) + " " + std::to_string(value) + "\n";
    };
    const uint8_t flags = in.byte();
    line("xres", in.u16());
    line("yres", in.u16());
    if (flags & 1)
        line("yres_virtual", in.u16());
    line("yoffset", in.u16() % 4 == 0 ? 0 : in.u16());
    const uint8_t depth = in.byte();
    line("bits_per_pixel", depth < 0xF8 ? depths[depth & 7] : depth);
    for (const char *channel : {"red", "green", "blue", "transp"}) {
        const uint32_t offset = in.byte(), length = in.byte();
        t += std::string(channel) + " " + std::to_string(offset) + " " + std::to_string(length) +
             "\n";
    }
    if (flags & 2)
        line("line_length", in.u32() % (1u << 22));
    // At most 4 MiB of device memory keeps every run quick.
    line("smem_len", in.u32() % ((1u << 22) + 1));
    line("smem_start", in.u32());
    line("mappable", (flags & 4) ? 0 : 1);
    line("put_double", (flags >> 3) & 1);
    line("put_keep_bitfields", (flags >> 4) & 1);
    line("put_check_memory", (flags >> 5) & 1);
    const uint8_t accepted = in.byte();
    t += "put_depths";
    for (int i = 0; i < 8; i++)
        if (accepted & (1 << i))
            t += " " + std::to_string(depths[i]);
    t += (accepted == 0 ? " 16\n" : "\n");
    for (int n = (flags >> 6); n > 0; n--) {
        const uint8_t what = in.byte(), nth = in.byte();
        const char *request = requests[(what & 7) % 5];
        const int answer = (int8_t)in.byte();
        if (what & 0x80)
            t += std::string("answer_nth ") + request + " " + std::to_string(nth % 4 + 1) + " " +
                 std::to_string(answer == -1 ? 1 : answer) + "\n";
        else
            t += std::string("refuse_nth ") + request + " " + std::to_string(nth % 4 + 1) + " " +
                 errors[(what >> 3) & 3] + "\n";
    }
    return t;
}

// Every byte of the mapping that is not a pixel of a page still holds the
// zero the memory file was created with.
static void check_outside_pages(const FbdevOutput &dev)
{
    const Framebuffer &fb = dev.head;
    const size_t page = (size_t)getpagesize();
    const size_t mapped = (dev.mapping_size + page - 1) / page * page;
    const size_t start = (size_t)(dev.base - dev.mapping);
    const size_t row = (size_t)fb.real_width * (size_t)(fb.bpp / 8), stride = (size_t)fb.stride;
    const size_t pages = (size_t)(fb.double_buffered ? 2 : 1) * stride * (size_t)fb.real_height;
    for (size_t at = 0; at < mapped; at++) {
        if (dev.mapping[at] == 0)
            continue;
        const size_t o = at - start;
        if (at < start || o >= pages || o % stride >= row)
            fuzz_fail("device memory outside the pages' pixels was written");
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const int angles[8] = {0, 90, 180, 270, 45, -90, 360, 0};
    FuzzInput in = {data, size};
    const int angle = angles[in.byte() & 7];
    remove_device_files();
    const std::string config = device_config(in);
    FILE *f = fopen((emu_dir + "/fb0.conf").c_str(), "w");
    if (!f || fputs(config.c_str(), f) < 0 || fclose(f) != 0)
        fuzz_fail("cannot write the device configuration");
    const int32_t progress = in.number();
    const std::unique_ptr<char[]> text(new char[in.size + 1]);
    memcpy(text.get(), in.data, in.size);
    text[in.size] = '\0';

    const OutputOptions options = {0, glimmer_fb_rotation_from_degrees(angle), true, false};
    FbdevOutput *dev = (FbdevOutput *)glimmer_output_open(&options);
    if (dev) {
        Framebuffer *fb = &dev->head;
        if (dev->mapping != reserved + getpagesize())
            fuzz_fail("the device memory was not mapped through the guarded range");
        glimmer_command_draw_initial_scene(&dev->output);
        glimmer_draw_progress(fb, progress);
        glimmer_output_flip(&dev->output, false);
        glimmer_draw_message(fb, text.get());
        glimmer_output_flip(&dev->output, false);
        check_outside_pages(*dev);
        if (fb->double_buffered &&
            memcmp(fb->draw_page, fb->shown_page, (size_t)fb->stride * fb->real_height) != 0)
            fuzz_fail("the pages differ after a flip");
        glimmer_output_close(&dev->output);
    }
    if (reserved) {
        munmap(reserved, reserved_length);
        reserved = nullptr;
    }
    return 0;
}
