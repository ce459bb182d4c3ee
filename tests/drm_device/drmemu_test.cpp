// The emulated DRM card, driven through libdrm in this process (the
// interposer preloaded): that it answers a mode-setting client like the
// kernel, with the behaviour measured on real cards, and that its captures
// show what the card scans out. glimmer's DRM tests rely on all of this.
#include "drmemu.h"
#include "glimmer_run.h"

#include <drm_fourcc.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// One head set up as a program does it: preferred mode, a CRTC the encoder
// can drive, two mapped dumb buffers with framebuffers, the first shown.
struct Head {
    uint32_t connector = 0, crtc = 0;
    drmModeModeInfo mode = {};
    uint32_t handle[2] = {}, fb[2] = {}, pitch = 0;
    uint8_t *map[2] = {};
    size_t size = 0;
};

class DrmDeviceTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::vector<int> fds;
    std::vector<Head> heads;

    void SetUp() override
    {
        const char *preload = getenv("LD_PRELOAD");
        ASSERT_TRUE(preload && strstr(preload, "glimmer_drmemu")) << "run with LD_PRELOAD";
        setenv("GLIMMER_EMU_DIR", dir.path.c_str(), 1);
    }

    void TearDown() override
    {
        for (Head &h : heads)
            for (uint8_t *m : h.map)
                if (m)
                    munmap(m, h.size);
        for (int fd : fds)
            close(fd);
        unsetenv("GLIMMER_EMU_DIR");
    }

    // Closes what a table case left open; the next case configures afresh.
    void next_case()
    {
        TearDown();
        fds.clear();
        heads.clear();
        SetUp();
    }

    void configure(const std::string &text, int n = 0)
    {
        std::string why;
        ASSERT_TRUE(glimmer_drmemu_write_config(dir.path, n, text, &why)) << why;
    }

    int open_card(int n = 0)
    {
        const int fd = open(("/dev/dri/card" + std::to_string(n)).c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0)
            fds.push_back(fd);
        return fd;
    }

    void close_card(int fd)
    {
        EXPECT_EQ(close(fd), 0);
        std::erase(fds, fd);
    }

    std::vector<FbemuLogEntry> log(const std::string &name = "")
    {
        const std::vector<FbemuLogEntry> all = glimmer_drmemu_read_log(dir.path, 0);
        return name.empty() ? all : glimmer_fbemu_log_of(all, name);
    }

    // Sets up connector `index` in `format`; false with a failed assertion otherwise.
    void set_up_head(int fd, int index, uint32_t format, Head *h)
    {
        drmModeRes *res = drmModeGetResources(fd);
        ASSERT_NE(res, nullptr);
        ASSERT_LT(index, res->count_connectors);
        drmModeConnector *c = drmModeGetConnector(fd, res->connectors[index]);
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(c->connection, DRM_MODE_CONNECTED);
        ASSERT_GT(c->count_modes, 0);
        h->connector = c->connector_id;
        h->mode = c->modes[0];
        for (int m = 0; m < c->count_modes; m++)
            if (c->modes[m].type & DRM_MODE_TYPE_PREFERRED)
                h->mode = c->modes[m];
        drmModeEncoder *e = drmModeGetEncoder(fd, c->encoders[0]);
        ASSERT_NE(e, nullptr);
        for (int k = res->count_crtcs - 1; k >= 0; k--)
            if (e->possible_crtcs >> k & 1)
                h->crtc = res->crtcs[k];
        drmModeFreeEncoder(e);
        drmModeFreeConnector(c);
        drmModeFreeResources(res);
        const uint32_t bpp = format == DRM_FORMAT_RGB565 ? 16 : 32;
        for (int i = 0; i < 2; i++) {
            struct drm_mode_create_dumb create = {};
            create.width = h->mode.hdisplay;
            create.height = h->mode.vdisplay;
            create.bpp = bpp;
            ASSERT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &create), 0);
            // Real kernels: the pitch is the width times the bytes per pixel.
            EXPECT_EQ(create.pitch, create.width * bpp / 8);
            h->handle[i] = create.handle;
            h->pitch = create.pitch;
            h->size = create.size;
            const uint32_t handles[4] = {create.handle}, pitches[4] = {create.pitch},
                           offsets[4] = {};
            ASSERT_EQ(drmModeAddFB2(fd, create.width, create.height, format, handles, pitches,
                                    offsets, &h->fb[i], 0),
                      0);
            struct drm_mode_map_dumb map = {};
            map.handle = create.handle;
            ASSERT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &map), 0);
            void *p =
                mmap(nullptr, h->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, (off_t)map.offset);
            ASSERT_NE(p, MAP_FAILED);
            h->map[i] = (uint8_t *)p;
        }
        uint32_t connector = h->connector;
        ASSERT_EQ(drmModeSetCrtc(fd, h->crtc, h->fb[0], 0, 0, &connector, 1, &h->mode), 0);
    }

    // Fills buffer i of a head with one 32-bit or 16-bit value.
    static void fill(Head *h, int i, uint32_t value, uint32_t bpp)
    {
        for (uint32_t y = 0; y < h->mode.vdisplay; y++)
            for (uint32_t x = 0; x < h->mode.hdisplay; x++)
                memcpy(h->map[i] + (size_t)y * h->pitch + (size_t)x * bpp / 8, &value, bpp / 8);
    }

    FbemuImage capture(int head)
    {
        FbemuImage image;
        std::string why;
        EXPECT_TRUE(glimmer_drmemu_capture(dir.path, 0, head, &image, &why)) << why;
        return image;
    }
};

// The flip events a program has read; their user data points here.
struct Flips {
    std::vector<drm_event_vblank> events;
};

static void on_flip(int, unsigned sequence, unsigned sec, unsigned usec, unsigned crtc, void *data)
{
    drm_event_vblank e = {};
    e.sequence = sequence;
    e.tv_sec = sec;
    e.tv_usec = usec;
    e.crtc_id = crtc;
    ((Flips *)data)->events.push_back(e);
}

// Waits for the descriptor to become readable (up to a deadline) and reads its events.
static bool read_flip_event(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1)
        return false;
    drmEventContext ctx = {};
    ctx.version = 3;
    ctx.page_flip_handler2 = on_flip;
    return drmHandleEvent(fd, &ctx) == 0;
}

TEST_F(DrmDeviceTest, CardExistsOnlyWhenConfigured)
{
    if (access("/dev/dri/card0", F_OK) == 0)
        GTEST_SKIP() << "this machine has a real card 0";
    errno = 0;
    EXPECT_EQ(open("/dev/dri/card0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    configure("");
    const int fd = open_card();
    ASSERT_GE(fd, 0);
    drmVersion *v = drmGetVersion(fd);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v->name, "drmemu");
    drmFreeVersion(v);
    EXPECT_TRUE(drmIsMaster(fd));
    close_card(fd);
    const std::vector<FbemuLogEntry> all = log();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all.front().name, "open");
    EXPECT_EQ(all.back().name, "close");
}

// Each card kind, set up the way a program does; every head shows its buffer.
TEST_F(DrmDeviceTest, SetUpShowsEveryHead)
{
    struct Case {
        const char *preset;
        uint32_t format;
        int heads;
        uint32_t value;    // written into the shown buffer
        FbemuRgb expected; // what the capture shows
    };
    const Case cases[] = {
        {"bochs", DRM_FORMAT_XRGB8888, 1, 0x00123456, {0x12, 0x34, 0x56}},
        {"virtio", DRM_FORMAT_XRGB8888, 1, 0xFF804020, {0x80, 0x40, 0x20}},
        {"virtio2", DRM_FORMAT_XRGB8888, 2, 0x00FF0001, {0xFF, 0x00, 0x01}},
        {"cirrus", DRM_FORMAT_RGB565, 1, 0x8410, {132, 130, 132}}, // top bits copied down
        {"cirrus", DRM_FORMAT_RGB565, 1, 0xF81F, {255, 0, 255}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.preset);
        configure(glimmer_drmemu_preset(c.preset));
        const int fd = open_card();
        ASSERT_GE(fd, 0);
        ASSERT_EQ(drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1), 0);
        const uint32_t bpp = c.format == DRM_FORMAT_RGB565 ? 16 : 32;
        heads.assign((size_t)c.heads, Head());
        for (int i = 0; i < c.heads; i++) {
            // Written before SetCrtc: cards that need DirtyFB show it from then on.
            Head *h = &heads[(size_t)i];
            ASSERT_NO_FATAL_FAILURE(set_up_head(fd, i, c.format, h));
            fill(h, 0, c.value, bpp);
            uint32_t connector = h->connector;
            ASSERT_EQ(drmModeSetCrtc(fd, h->crtc, h->fb[0], 0, 0, &connector, 1, &h->mode), 0);
        }
        ASSERT_TRUE(c.heads < 2 || heads[0].crtc != heads[1].crtc);
        for (int i = 0; i < c.heads; i++) {
            // What a program saves to restore at exit.
            drmModeCrtc *crtc = drmModeGetCrtc(fd, heads[(size_t)i].crtc);
            ASSERT_NE(crtc, nullptr);
            EXPECT_EQ(crtc->buffer_id, heads[(size_t)i].fb[0]);
            EXPECT_TRUE(crtc->mode_valid);
            EXPECT_EQ(crtc->mode.hdisplay, heads[(size_t)i].mode.hdisplay);
            drmModeFreeCrtc(crtc);
            const FbemuImage image = capture(i);
            ASSERT_EQ(image.width, heads[(size_t)i].mode.hdisplay);
            ASSERT_EQ(image.height, heads[(size_t)i].mode.vdisplay);
            EXPECT_EQ(image.at(0, 0), c.expected);
            EXPECT_EQ(image.at(image.width - 1, image.height - 1), c.expected);
        }
        next_case();
    }
}

// The properties a program looks up by name: the primary plane's "type" and
// the connector's "panel orientation" with the kernel's enum names.
TEST_F(DrmDeviceTest, PropertiesCarryTheirEnumNames)
{
    struct Case {
        const char *orientation; // configuration word, or null for no property
        const char *name;        // the enum name the property reports
    };
    const Case cases[] = {
        {nullptr, nullptr},
        {"normal", "Normal"},
        {"upside_down", "Upside Down"},
        {"left_side_up", "Left Side Up"},
        {"right_side_up", "Right Side Up"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name ? c.name : "none");
        configure(std::string("connector eDP-1 connected 800x1280* ") +
                  (c.orientation ? std::string("orientation=") + c.orientation : "") +
                  "\nplane cursor AR24\nplane primary XR24 RG16\n");
        const int fd = open_card();
        ASSERT_GE(fd, 0);
        drmModeRes *res = drmModeGetResources(fd);
        ASSERT_NE(res, nullptr);
        std::string found;
        drmModeObjectProperties *props =
            drmModeObjectGetProperties(fd, res->connectors[0], DRM_MODE_OBJECT_CONNECTOR);
        ASSERT_NE(props, nullptr);
        for (uint32_t i = 0; i < props->count_props; i++) {
            drmModePropertyRes *p = drmModeGetProperty(fd, props->props[i]);
            ASSERT_NE(p, nullptr);
            if (strcmp(p->name, "panel orientation") == 0)
                for (int e = 0; e < p->count_enums; e++)
                    if (p->enums[e].value == props->prop_values[i])
                        found = p->enums[e].name;
            drmModeFreeProperty(p);
        }
        drmModeFreeObjectProperties(props);
        EXPECT_EQ(found, c.name ? c.name : "");
        drmModeFreeResources(res);

        // Without the universal-planes cap the primary plane is hidden.
        drmModePlaneRes *planes = drmModeGetPlaneResources(fd);
        ASSERT_NE(planes, nullptr);
        EXPECT_EQ(planes->count_planes, 0u);
        drmModeFreePlaneResources(planes);
        ASSERT_EQ(drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1), 0);
        planes = drmModeGetPlaneResources(fd);
        ASSERT_NE(planes, nullptr);
        int primaries = 0;
        for (uint32_t i = 0; i < planes->count_planes; i++) {
            drmModeObjectProperties *pp =
                drmModeObjectGetProperties(fd, planes->planes[i], DRM_MODE_OBJECT_PLANE);
            ASSERT_NE(pp, nullptr);
            for (uint32_t j = 0; j < pp->count_props; j++) {
                drmModePropertyRes *p = drmModeGetProperty(fd, pp->props[j]);
                ASSERT_NE(p, nullptr);
                const bool primary =
                    strcmp(p->name, "type") == 0 && pp->prop_values[j] == DRM_PLANE_TYPE_PRIMARY;
                drmModeFreeProperty(p);
                if (!primary)
                    continue;
                primaries++;
                drmModePlane *plane = drmModeGetPlane(fd, planes->planes[i]);
                ASSERT_NE(plane, nullptr);
                EXPECT_EQ(plane->count_formats, 2u);
                EXPECT_EQ(plane->formats[1], (uint32_t)DRM_FORMAT_RGB565);
                EXPECT_EQ(plane->possible_crtcs, 1u);
                drmModeFreePlane(plane);
            }
            drmModeFreeObjectProperties(pp);
        }
        EXPECT_EQ(primaries, 1);
        drmModeFreePlaneResources(planes);
        close_card(fd);
    }
}

// Framebuffers are checked against the planes' formats and the buffer's size.
TEST_F(DrmDeviceTest, FramebufferChecks)
{
    struct Case {
        const char *what, *preset;
        uint32_t format; // 0: legacy ADDFB with the depth and bpp below
        int pitch_less, handle_add;
        int result;
        uint8_t depth = 0, bpp = 0;
    };
    const Case cases[] = {
        {"legacy 24/32 on bochs", "bochs", 0, 0, 0, 0, 24, 32},
        {"legacy 16/16 on bochs", "bochs", 0, 0, 0, -EINVAL, 16, 16},
        {"legacy 16/16 on cirrus", "cirrus", 0, 0, 0, 0, 16, 16},
        {"XRGB8888 on bochs", "bochs", DRM_FORMAT_XRGB8888, 0, 0, 0},
        {"RGB565 on bochs", "bochs", DRM_FORMAT_RGB565, 0, 0, -EINVAL},
        {"RGB565 on cirrus", "cirrus", DRM_FORMAT_RGB565, 0, 0, 0},
        {"a format no plane has", "cirrus", DRM_FORMAT_XBGR8888, 0, 0, -EINVAL},
        {"virtio's driver refuses it first", "virtio", DRM_FORMAT_RGB565, 0, 0, -ENOENT},
        {"BGRX8888 on bochs", "bochs", DRM_FORMAT_BGRX8888, 0, 0, 0},
        {"pitch below the width", "bochs", DRM_FORMAT_XRGB8888, 4, 0, -EINVAL},
        {"unknown handle", "bochs", DRM_FORMAT_XRGB8888, 0, 7, -ENOENT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        configure(glimmer_drmemu_preset(c.preset));
        const int fd = open_card();
        ASSERT_GE(fd, 0);
        struct drm_mode_create_dumb create = {};
        create.width = 100;
        create.height = 10;
        create.bpp = 32;
        ASSERT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &create), 0);
        const uint32_t handles[4] = {create.handle + (uint32_t)c.handle_add},
                       pitches[4] = {create.pitch - (uint32_t)c.pitch_less}, offsets[4] = {};
        uint32_t fb = 0;
        errno = 0;
        const int r = c.format
                          ? drmModeAddFB2(fd, 100, 10, c.format, handles, pitches, offsets, &fb, 0)
                          : drmModeAddFB(fd, 100, 10, c.depth, c.bpp, pitches[0], handles[0], &fb);
        EXPECT_EQ(r == 0 ? 0 : -errno, c.result);
        close_card(fd);
    }
}

// Flips complete with an event read from the descriptor; a second flip
// before that is taken, or refused on a card with vblank; the capture shows
// the buffer flipped to and, on cards that need it, only what DirtyFB reported.
TEST_F(DrmDeviceTest, FlipsAndDirtyRectanglesReachTheScreen)
{
    struct Case {
        const char *preset, *more;
        bool dirty_needed;
        int second_flip; // before the first one's event is read
    };
    const Case cases[] = {
        {"bochs", "", false, 0},
        {"virtio", "", true, 0},
        {"bochs", "vblank 1\n", false, -EBUSY},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.preset) + " " + c.more);
        configure(glimmer_drmemu_preset(c.preset) + c.more);
        const int fd = open_card();
        ASSERT_GE(fd, 0);
        heads.assign(1, Head());
        Head *h = &heads[0];
        ASSERT_NO_FATAL_FAILURE(set_up_head(fd, 0, DRM_FORMAT_XRGB8888, h));
        fill(h, 1, 0x0000FF00, 32);
        Flips flips;
        ASSERT_EQ(drmModePageFlip(fd, h->crtc, h->fb[1], DRM_MODE_PAGE_FLIP_EVENT, &flips), 0);
        EXPECT_EQ(drmModePageFlip(fd, h->crtc, h->fb[1], DRM_MODE_PAGE_FLIP_EVENT, &flips),
                  c.second_flip);
        const size_t sent = c.second_flip ? 1 : 2;
        while (flips.events.size() < sent)
            ASSERT_TRUE(read_flip_event(fd));
        ASSERT_EQ(flips.events.size(), sent);
        for (const drm_event_vblank &e : flips.events) {
            EXPECT_EQ(e.sequence, 0u);
            EXPECT_EQ(e.crtc_id, h->crtc);
        }
        EXPECT_EQ(capture(0).at(5, 5), (FbemuRgb{0, 255, 0}));

        // Drawing into the shown buffer, then reporting one rectangle.
        fill(h, 1, 0x000000FF, 32);
        const FbemuRgb blue = {0, 0, 255}, green = {0, 255, 0};
        EXPECT_EQ(capture(0).at(5, 5), c.dirty_needed ? green : blue);
        drmModeClip clip = {0, 0, 10, 10};
        EXPECT_EQ(drmModeDirtyFB(fd, h->fb[1], &clip, 1), c.dirty_needed ? 0 : -ENOSYS);
        const FbemuImage after = capture(0);
        EXPECT_EQ(after.at(9, 9), blue);
        EXPECT_EQ(after.at(10, 10), c.dirty_needed ? green : blue);

        // Once the events are read the next flip goes through.
        ASSERT_EQ(drmModePageFlip(fd, h->crtc, h->fb[0], DRM_MODE_PAGE_FLIP_EVENT, &flips), 0);
        ASSERT_TRUE(read_flip_event(fd));
        EXPECT_EQ(flips.events.size(), sent + 1);
        next_case();
    }
}

// Master as measured on real kernels, step by step with two openers.
TEST_F(DrmDeviceTest, MasterRules)
{
    configure(glimmer_drmemu_preset("bochs"));
    const int first = open_card();
    const int second = open_card();
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    heads.assign(1, Head());
    Head *h = &heads[0];
    ASSERT_NO_FATAL_FAILURE(set_up_head(first, 0, DRM_FORMAT_XRGB8888, h));
    uint32_t connector = h->connector;
    enum Action { IS_MASTER, SET, DROP, SETCRTC, FLIP };
    struct Step {
        const char *what;
        int who; // 0 first opener, 1 second
        Action action;
        int result;
        int err = 0; // errno drmIsMaster leaves
    };
    const Step steps[] = {
        {"the first opener is master", 0, IS_MASTER, 1, EINVAL},
        {"the second is not", 1, IS_MASTER, 0, EACCES},
        {"the second cannot set a mode", 1, SETCRTC, -EACCES},
        {"nor flip", 1, FLIP, -EACCES},
        {"nor take master while it is held", 1, SET, -EBUSY},
        {"the first drops master", 0, DROP, 0},
        {"and cannot flip then", 0, FLIP, -EACCES},
        {"the second takes it", 1, SET, 0},
        {"sets the mode", 1, SETCRTC, 0},
        {"and gives it back", 1, DROP, 0},
        {"the first regains it", 0, SET, 0},
        {"and flips at once", 0, FLIP, 0},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.what);
        const int fd = s.who ? second : first;
        int r = 0;
        errno = 0;
        switch (s.action) {
        case IS_MASTER:
            r = drmIsMaster(fd);
            break;
        case SET:
            r = drmSetMaster(fd) ? -errno : 0;
            break;
        case DROP:
            r = drmDropMaster(fd) ? -errno : 0;
            break;
        case SETCRTC:
            r = drmModeSetCrtc(fd, h->crtc, h->fb[0], 0, 0, &connector, 1, &h->mode);
            break;
        case FLIP:
            r = drmModePageFlip(fd, h->crtc, h->fb[1], 0, nullptr);
            break;
        }
        EXPECT_EQ(r, s.result);
        if (s.err) {
            EXPECT_EQ(errno, s.err);
        }
    }
    // A process that ended without closing gives master up, as at exit:
    // the card holds an open of a process that has been reaped.
    close_card(first);
    close_card(second);
    pid_t gone;
    char *argv[] = {(char *)"true", nullptr};
    ASSERT_EQ(posix_spawnp(&gone, "true", nullptr, nullptr, argv, environ), 0);
    int status = 0;
    ASSERT_EQ(waitpid(gone, &status, 0), gone);
    DrmemuDevice s;
    uint32_t open_id = 0;
    ASSERT_TRUE(glimmer_drmemu_read_state(dir.path, 0, &s));
    ASSERT_TRUE(drmemu_device_open(&s, (uint32_t)gone, &open_id));
    ASSERT_EQ(s.master, open_id);
    ASSERT_TRUE(drmemu_device_save(dir.path.c_str(), 0, &s));
    const int later = open_card();
    ASSERT_GE(later, 0);
    EXPECT_TRUE(drmIsMaster(later));
}

// What a program leaves behind goes away with it, as in the kernel: a
// removed framebuffer takes its CRTC down, a buffer lives while a
// framebuffer uses it, and closing the card frees everything and master.
TEST_F(DrmDeviceTest, ObjectsEndWithTheirOwner)
{
    enum Ending { SWITCH_OFF, RMFB_SHOWN, DESTROY_THEN_RMFB, CLOSE };
    struct Case {
        const char *what;
        Ending ending;
    };
    const Case cases[] = {
        {"switching the CRTC off, as a restore of an unlit CRTC does", SWITCH_OFF},
        {"removing the shown framebuffer", RMFB_SHOWN},
        {"destroying a buffer a framebuffer holds", DESTROY_THEN_RMFB},
        {"closing the card", CLOSE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        configure(glimmer_drmemu_preset("bochs"));
        const int fd = open_card();
        ASSERT_GE(fd, 0);
        heads.assign(1, Head());
        Head *h = &heads[0];
        ASSERT_NO_FATAL_FAILURE(set_up_head(fd, 0, DRM_FORMAT_XRGB8888, h));
        const std::string file = dir.path + "/card0-buf" + std::to_string(h->handle[1]);
        DrmemuDevice s;
        FbemuImage image;
        switch (c.ending) {
        case SWITCH_OFF:
            ASSERT_EQ(drmModeSetCrtc(fd, h->crtc, 0, 0, 0, nullptr, 0, nullptr), 0);
            EXPECT_FALSE(glimmer_drmemu_capture(dir.path, 0, 0, &image));
            EXPECT_EQ(drmModeRmFB(fd, h->fb[0]), 0);
            break;
        case RMFB_SHOWN:
            ASSERT_EQ(drmModeRmFB(fd, h->fb[0]), 0);
            ASSERT_TRUE(glimmer_drmemu_read_state(dir.path, 0, &s));
            EXPECT_EQ(s.crtcs[0].fb, 0u);
            EXPECT_EQ(s.connectors[0].crtc, 0u);
            EXPECT_EQ(drmModePageFlip(fd, h->crtc, h->fb[1], 0, nullptr), -EBUSY);
            break;
        case DESTROY_THEN_RMFB: {
            struct drm_mode_destroy_dumb destroy = {h->handle[1]};
            ASSERT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &destroy), 0);
            EXPECT_EQ(access(file.c_str(), F_OK), 0);
            EXPECT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &destroy), -1);
            EXPECT_EQ(errno, EINVAL);
            ASSERT_EQ(drmModeRmFB(fd, h->fb[1]), 0);
            EXPECT_NE(access(file.c_str(), F_OK), 0);
            break;
        }
        case CLOSE:
            for (uint8_t *&m : h->map) {
                munmap(m, h->size);
                m = nullptr;
            }
            close_card(fd);
            ASSERT_TRUE(glimmer_drmemu_read_state(dir.path, 0, &s));
            EXPECT_EQ(s.master, 0u);
            EXPECT_EQ(s.crtcs[0].fb, 0u);
            for (const DrmemuFb &f : s.fbs)
                EXPECT_EQ(f.id, 0u);
            for (const DrmemuBuffer &b : s.buffers)
                EXPECT_EQ(b.handle, 0u);
            EXPECT_NE(access(file.c_str(), F_OK), 0);
            break;
        }
        next_case();
    }
}

// Any request can be made to fail on its n-th call or on every call; the
// log shows every call in order with its result.
TEST_F(DrmDeviceTest, PlannedFailures)
{
    struct Case {
        const char *line;
        const char *request;      // as logged
        std::vector<int> results; // of consecutive calls
    };
    const Case cases[] = {
        {"refuse_nth MODE_SETCRTC 2 EACCES", "MODE_SETCRTC", {0, -EACCES, 0}},
        {"refuse DRM_IOCTL_MODE_PAGE_FLIP EBUSY", "MODE_PAGE_FLIP", {-EBUSY, -EBUSY}},
        {"refuse_nth MODE_CREATE_DUMB 1 ENOMEM", "MODE_CREATE_DUMB", {-ENOMEM, 0}},
        {"refuse_nth open 1 EACCES", "open", {-EACCES, 0}},
        {"refuse mmap ENOMEM", "mmap", {-ENOMEM}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        configure(glimmer_drmemu_preset("bochs") + c.line + "\n");
        const std::string request = c.request;
        int fd = -1;
        if (request != "open") {
            fd = open_card();
            ASSERT_GE(fd, 0);
        }
        Head h;
        if (request == "MODE_SETCRTC" || request == "MODE_PAGE_FLIP") {
            ASSERT_NO_FATAL_FAILURE(set_up_head(fd, 0, DRM_FORMAT_XRGB8888, &h));
            heads.push_back(h);
        }
        // The first SETCRTC, call 1, was the set-up's.
        const size_t first = request == "MODE_SETCRTC" ? 1 : 0;
        std::vector<int> results;
        for (size_t i = first; i < c.results.size(); i++) {
            errno = 0;
            int r = 0;
            if (request == "MODE_SETCRTC") {
                uint32_t connector = h.connector;
                r = drmModeSetCrtc(fd, h.crtc, h.fb[0], 0, 0, &connector, 1, &h.mode);
            } else if (request == "MODE_PAGE_FLIP") {
                r = drmModePageFlip(fd, h.crtc, h.fb[1], 0, nullptr);
            } else if (request == "MODE_CREATE_DUMB") {
                struct drm_mode_create_dumb create = {};
                create.width = create.height = 16;
                create.bpp = 32;
                r = drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &create) ? -errno : 0;
            } else if (request == "open") {
                const int opened = open_card();
                r = opened < 0 ? -errno : 0;
            } else if (request == "mmap") {
                struct drm_mode_create_dumb create = {};
                create.width = create.height = 16;
                create.bpp = 32;
                ASSERT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &create), 0);
                struct drm_mode_map_dumb map = {};
                map.handle = create.handle;
                ASSERT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &map), 0);
                void *p = mmap(nullptr, create.size, PROT_READ, MAP_SHARED, fd, (off_t)map.offset);
                r = p == MAP_FAILED ? -errno : 0;
                if (p != MAP_FAILED)
                    munmap(p, create.size);
            }
            results.push_back(r);
        }
        EXPECT_EQ(results, std::vector<int>(c.results.begin() + (ptrdiff_t)first, c.results.end()));
        const std::vector<FbemuLogEntry> calls = log(c.request);
        ASSERT_EQ(calls.size(), c.results.size());
        for (size_t i = 0; i < calls.size(); i++) {
            char name[16];
            EXPECT_EQ(calls[i].result, c.results[i] ? -1 : calls[i].result) << calls[i].line;
            EXPECT_EQ(calls[i].error,
                      c.results[i] ? drmemu_errno_name(-c.results[i], name, 16) : "")
                << calls[i].line;
        }
        next_case();
    }
}

// A configuration that cannot describe a card is refused with its line,
// rather than giving a card that differs from what was meant.
TEST(DrmemuConfig, RefusesWhatItCannotModel)
{
    struct Case {
        const char *text;
        const char *why; // the start of the reason
    };
    const Case cases[] = {
        {"connector Foo-1 connected 640x480*", "line 1"},
        {"connector Virtual-1 maybe 640x480*", "line 1"},
        {"connector Virtual-1 connected 0x480", "line 1"},
        {"connector Virtual-1 connected orientation=sideways", "line 1"},
        {"plane primary XB24", "line 1"},
        {"\nrefuse MODE_NOTHING EIO", "line 2"},
        {"refuse_nth MODE_SETCRTC 0 EIO", "line 1"},
        {"refuse MODE_SETCRTC ENOTANERROR", "line 1"},
        {"vblank 2", "line 1"},
        {"unknown_format ENOTANERROR", "line 1"},
        {"crtcs 2\nplane primary XR24", "2 CRTCs but 1 primary planes"},
        {"connector Virtual-1 connected crtcs=0x2 640x480*", "connector Virtual-1 names a CRTC"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        DrmemuDevice d;
        char err[160];
        EXPECT_FALSE(drmemu_device_parse(&d, c.text, err, sizeof err));
        EXPECT_EQ(std::string(err).rfind(c.why, 0), 0u) << err;
    }
    for (const char *preset : {"bochs", "virtio", "virtio2", "cirrus"}) {
        DrmemuDevice d;
        char err[160];
        EXPECT_TRUE(drmemu_device_parse(&d, glimmer_drmemu_preset(preset).c_str(), err, sizeof err))
            << preset << ": " << err;
    }
}

} // namespace
