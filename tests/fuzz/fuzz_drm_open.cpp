// Setting up the DRM output against any card the emulator can describe:
// connectors connected or not, their modes (none preferred, tiny, odd sizes),
// panel orientations, CRTC masks, primary planes with and without our
// formats, the preferred depth, and any request refused on its n-th call.
// Whatever glimmer_output_open accepts, the start-up scene, a progress value
// and a message are drawn and flipped onto every head; then both buffers of
// each double-buffered head must hold the same picture, and the card must be
// left as found.
//
// The DRM emulation's interposer is linked into this program (the
// framebuffer's cannot be linked beside it: both define open and ioctl), so
// the card is the emulated one whatever the environment says.
#include "fuzz_support.h"

#include "app/command.h"
#include "drmemu.h"

#include <unistd.h>

#include <cstring>
#include <string>

namespace {

std::string emu_dir;

} // namespace

static void remove_card_files()
{
    const std::string prefix = emu_dir + "/card0";
    for (const char *suffix : {".conf", ".state", ".log", ".lock", "-crtc0.scan", "-crtc1.scan",
                               "-crtc2.scan", "-crtc3.scan"})
        (void)unlink((prefix + suffix).c_str());
    for (int h = 0; h < 64; h++)
        (void)unlink((prefix + "-buf" + std::to_string(h)).c_str());
}

static void remove_emu_dir()
{
    remove_card_files();
    (void)rmdir(emu_dir.c_str());
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char dir[] = "/dev/shm/glimmer-fuzz-drm-XXXXXX";
    if (!mkdtemp(dir))
        fuzz_fail("cannot make the emulator's directory");
    emu_dir = dir;
    setenv("GLIMMER_EMU_DIR", dir, 1);
    atexit(remove_emu_dir);
    return 0;
}

// The card's configuration in the emulator's "key value" lines.
static std::string card_config(FuzzInput &in)
{
    static const char *const orientations[] = {
        "", " orientation=normal", " orientation=upside_down", " orientation=left_side_up",
        " orientation=right_side_up"};
    static const char *const formats[] = {"XR24", "AR24", "RG16", "RG24"};
    static const char *const requests[] = {"SET_MASTER",
                                           "GET_CAP",
                                           "MODE_GETRESOURCES",
                                           "MODE_GETCONNECTOR",
                                           "MODE_GETENCODER",
                                           "MODE_GETCRTC",
                                           "MODE_SETCRTC",
                                           "MODE_CREATE_DUMB",
                                           "MODE_MAP_DUMB",
                                           "MODE_ADDFB2",
                                           "MODE_PAGE_FLIP",
                                           "MODE_DIRTYFB",
                                           "MODE_GETPLANE",
                                           "MODE_OBJ_GETPROPERTIES",
                                           "mmap",
                                           "MODE_GETPROPERTY"};
    static const char *const errors[] = {"EINVAL", "ENOMEM", "EBUSY", "EACCES"};
    static const char *const dirty[] = {"none", "supported", "required", "none"};
    const uint8_t flags = in.byte();
    const int crtcs = 1 + (flags & 3);
    std::string t = "preferred_depth " + std::to_string((flags & 4) ? 16 : 24) + "\n";
    t += std::string("dirty ") + dirty[(flags >> 3) & 3] + "\n";
    t += "crtcs " + std::to_string(crtcs) + "\n";
    const int connectors = 1 + ((flags >> 5) & 3);
    for (int c = 0; c < connectors; c++) {
        const uint8_t cf = in.byte();
        t += "connector Virtual-" + std::to_string(c + 1) +
             ((cf & 1) ? " disconnected" : " connected") + orientations[(cf >> 1) % 5] +
             " crtcs=" + std::to_string(1 + in.byte() % ((1 << crtcs) - 1));
        const int modes = (cf >> 4) & 3;
        for (int m = 0; m <= modes; m++) {
            // Small modes keep every run quick; 1 to 400 pixels each way.
            const uint32_t w = 1 + in.u16() % 400, h = 1 + in.u16() % 400;
            t += " " + std::to_string(w) + "x" + std::to_string(h) +
                 ((cf & 64) && m == 1 ? "*" : "");
        }
        t += "\n";
    }
    for (int p = 0; p < crtcs; p++) {
        const uint8_t pf = in.byte();
        t += "plane primary";
        for (int f = 0; f < 4; f++)
            if (pf & (1 << f))
                t += std::string(" ") + formats[f];
        t += (pf & 15) ? "\n" : " AR24\n";
    }
    for (int n = in.byte() & 3; n > 0; n--) {
        const uint8_t what = in.byte(), nth = in.byte();
        t += std::string("refuse_nth ") + requests[what & 15] + " " + std::to_string(nth % 6 + 1) +
             " " + errors[(what >> 4) & 3] + "\n";
    }
    return t;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const int angles[4] = {0, 90, 180, 270};
    FuzzInput in = {data, size};
    const uint8_t choice = in.byte();
    remove_card_files();
    const std::string config = card_config(in);
    if (!glimmer_drmemu_write_config(emu_dir, 0, config))
        return 0; // a description the emulator does not take
    const int32_t progress = in.number();
    const std::unique_ptr<char[]> text(new char[in.size + 1]);
    memcpy(text.get(), in.data, in.size);
    text[in.size] = '\0';

    const OutputOptions options = {0, glimmer_fb_rotation_from_degrees(angles[choice & 3]),
                                   (choice & 4) != 0, true};
    Output *out = glimmer_output_open(&options);
    if (out) {
        if (glimmer_command_draw_initial_scene(out)) {
            char line[32];
            const int n = snprintf(line, sizeof line, "PROGRESS %d", (int)progress);
            (void)glimmer_command_run_line(out, line, (size_t)n);
            std::string msg = std::string("MSG ") + text.get();
            (void)glimmer_command_run_line(out, msg.data(), msg.size());
            // A refused flip keeps its drawing page apart until the next one.
            const bool flips_refused = config.find("MODE_PAGE_FLIP") != std::string::npos ||
                                       config.find("MODE_SETCRTC") != std::string::npos;
            for (int h = 0; h < out->head_count && !flips_refused; h++) {
                const Framebuffer &fb = *out->heads[h];
                if (fb.double_buffered &&
                    memcmp(fb.draw_page, fb.shown_page, (size_t)fb.stride * fb.real_height) != 0)
                    fuzz_fail("the buffers of a head differ after a flip");
            }
        }
        glimmer_output_close(out);
    }
    DrmemuDevice d;
    if (glimmer_drmemu_read_state(emu_dir, 0, &d)) {
        for (const DrmemuFb &f : d.fbs)
            if (f.id != 0)
                fuzz_fail("a framebuffer was left on the card");
        for (const DrmemuBuffer &b : d.buffers)
            if (b.handle != 0)
                fuzz_fail("a dumb buffer was left on the card");
        for (uint32_t c = 0; c < d.crtc_count; c++)
            if (d.crtcs[c].fb != 0)
                fuzz_fail("a CRTC was not put back");
    }
    return 0;
}
