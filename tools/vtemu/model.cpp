// The console model: what the kernel's virtual-terminal driver does with each
// request, reduced to the parts a program taking over a terminal relies on.
#include "model.h"

#include <fcntl.h>
#include <linux/kd.h>
#include <linux/vt.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>

static const char *const REQUEST_NAMES[VTEMU_REQ_COUNT] = {
    "open_tty0",      "open_tty",   "close",       "VT_OPENQRY",    "VT_GETSTATE",
    "VT_GETMODE",     "VT_SETMODE", "VT_ACTIVATE", "VT_WAITACTIVE", "VT_RELDISP",
    "VT_DISALLOCATE", "KDSETMODE",  "KDGETMODE",
};

struct ErrnoName {
    int value;
    const char *name;
};

static const ErrnoName ERRNO_NAMES[] = {
    {EPERM, "EPERM"},   {ENOENT, "ENOENT"},       {ESRCH, "ESRCH"},   {EINTR, "EINTR"},
    {EIO, "EIO"},       {ENXIO, "ENXIO"},         {EBADF, "EBADF"},   {EAGAIN, "EAGAIN"},
    {ENOMEM, "ENOMEM"}, {EACCES, "EACCES"},       {EFAULT, "EFAULT"}, {EBUSY, "EBUSY"},
    {ENODEV, "ENODEV"}, {EINVAL, "EINVAL"},       {ENOTTY, "ENOTTY"}, {ENOSPC, "ENOSPC"},
    {ENOSYS, "ENOSYS"}, {ETIMEDOUT, "ETIMEDOUT"},
};

const char *glimmer_vtemu_request_name(int request)
{
    return request >= 0 && request < VTEMU_REQ_COUNT ? REQUEST_NAMES[request] : "?";
}

int glimmer_vtemu_request_value(const char *name)
{
    for (int i = 0; i < VTEMU_REQ_COUNT; i++)
        if (strcmp(REQUEST_NAMES[i], name) == 0)
            return i;
    return -1;
}

const char *glimmer_vtemu_errno_name(int error)
{
    for (const ErrnoName &e : ERRNO_NAMES)
        if (e.value == error)
            return e.name;
    return "E?";
}

int glimmer_vtemu_errno_value(const char *name)
{
    for (const ErrnoName &e : ERRNO_NAMES)
        if (strcmp(e.name, name) == 0)
            return e.value;
    return 0;
}

// ---- text without allocation -------------------------------------------

static void put(VtemuLine *l, const char *s)
{
    while (*s && l->length + 1 < sizeof l->text)
        l->text[l->length++] = *s++;
    l->text[l->length] = '\0';
}

static void put_int(VtemuLine *l, long v)
{
    char tmp[24];
    int i = (int)sizeof tmp - 1;
    tmp[i] = '\0';
    unsigned long u = v < 0 ? 0UL - (unsigned long)v : (unsigned long)v;
    do {
        tmp[--i] = (char)('0' + u % 10);
        u /= 10;
    } while (u && i > 1);
    if (v < 0)
        tmp[--i] = '-';
    put(l, tmp + i);
}

static void put_hex(VtemuLine *l, unsigned long v)
{
    char tmp[24];
    int i = (int)sizeof tmp - 1;
    tmp[i] = '\0';
    do {
        tmp[--i] = "0123456789abcdef"[v & 15];
        v >>= 4;
    } while (v && i > 3);
    tmp[--i] = 'x';
    tmp[--i] = '0';
    put(l, tmp + i);
}

static void put_device(VtemuLine *l, int device)
{
    if (device == VTEMU_NO_DEVICE) {
        put(l, "-");
        return;
    }
    put(l, "tty");
    put_int(l, device);
}

static void begin_line(VtemuSession *s, VtemuLine *l, int device, const char *what)
{
    l->length = 0;
    l->text[0] = '\0';
    put_int(l, s->pid);
    put(l, " ");
    put_device(l, device);
    put(l, " ");
    put(l, what);
}

static void put_result(VtemuLine *l, int result, int error)
{
    put(l, " = ");
    put_int(l, result);
    if (result < 0) {
        put(l, " ");
        put(l, glimmer_vtemu_errno_name(error));
    }
}

static VtemuLine *event(VtemuSession *s, int device, const char *what)
{
    if (s->event_count >= VTEMU_MAX_EVENTS)
        s->event_count = VTEMU_MAX_EVENTS - 1; // keep the last one current
    VtemuLine *l = &s->events[s->event_count++];
    begin_line(s, l, device, what);
    return l;
}

static void put_mode(VtemuLine *l, const VtemuTerminal *t)
{
    put(l, "mode=");
    put(l, t->mode == VT_AUTO ? "VT_AUTO" : t->mode == VT_PROCESS ? "VT_PROCESS" : "?");
    put(l, " waitv=");
    put_int(l, t->waitv);
    put(l, " relsig=");
    put_int(l, t->relsig);
    put(l, " acqsig=");
    put_int(l, t->acqsig);
    put(l, " frsig=");
    put_int(l, t->frsig);
}

// ---- files --------------------------------------------------------------

static bool join(char *out, size_t size, const char *dir, const char *name)
{
    const size_t a = strlen(dir), b = strlen(name);
    if (a + 1 + b + 1 > size)
        return false;
    memcpy(out, dir, a);
    out[a] = '/';
    memcpy(out + a + 1, name, b + 1);
    return true;
}

static bool parse_int(const char *text, int *out)
{
    char *end;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (end == text || *end || errno || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = (int)v;
    return true;
}

// "1-6" or "1,3,5-7"
static bool parse_terminals(char *text, uint64_t *mask)
{
    *mask = 0;
    if (strcmp(text, "none") == 0)
        return true;
    for (char *item = text; item && *item;) {
        char *next = strchr(item, ',');
        if (next)
            *next++ = '\0';
        char *dash = strchr(item, '-');
        int first, last;
        if (dash) {
            *dash = '\0';
            if (!parse_int(item, &first) || !parse_int(dash + 1, &last))
                return false;
        } else if (!parse_int(item, &first)) {
            return false;
        } else {
            last = first;
        }
        if (first < 1 || last > VTEMU_MAX_VT || first > last)
            return false;
        for (int n = first; n <= last; n++)
            *mask |= (uint64_t)1 << n;
        item = next;
    }
    return true;
}

static bool parse_line(char *line, VtemuConfig *c)
{
    char *words[5];
    int count = 0;
    for (char *p = line; *p && count < 5;) {
        while (*p == ' ' || *p == '\t')
            p++;
        if (!*p)
            break;
        words[count++] = p;
        while (*p && *p != ' ' && *p != '\t')
            p++;
        if (*p)
            *p++ = '\0';
    }
    if (count == 0)
        return true;
    const char *key = words[0];
    if (strcmp(key, "held") == 0 && count == 2)
        return parse_terminals(words[1], &c->held_mask);
    if (strcmp(key, "active") == 0 && count == 2)
        return parse_int(words[1], &c->active) && c->active >= 1 && c->active <= VTEMU_MAX_VT;
    if (strcmp(key, "free_vt") == 0 && count == 2) {
        if (strcmp(words[1], "auto") == 0) {
            c->free_vt = 0;
            return true;
        }
        return parse_int(words[1], &c->free_vt);
    }
    if (strcmp(key, "disallocate_busy") == 0 && count == 2)
        return parse_int(words[1], &c->disallocate_busy) && c->disallocate_busy >= 0;
    if (strcmp(key, "waitactive_ms") == 0 && count == 2)
        return parse_int(words[1], &c->waitactive_ms) && c->waitactive_ms >= 0;
    if (strcmp(key, "fail") == 0 && (count == 3 || count == 4)) {
        if (c->rule_count >= VTEMU_MAX_RULES)
            return false;
        VtemuRule *r = &c->rules[c->rule_count];
        r->request = glimmer_vtemu_request_value(words[1]);
        r->error = glimmer_vtemu_errno_value(words[2]);
        if (!r->error && !parse_int(words[2], &r->error))
            return false;
        r->nth = 0;
        if (count == 4 && (!parse_int(words[3], &r->nth) || r->nth < 1))
            return false;
        if (r->request < 0 || r->error <= 0)
            return false;
        c->rule_count++;
        return true;
    }
    return false;
}

void glimmer_vtemu_config_default(VtemuConfig *config)
{
    memset(config, 0, sizeof *config);
    for (int n = 1; n <= 6; n++)
        config->held_mask |= (uint64_t)1 << n;
    config->active = 1;
    config->free_vt = 0;
    config->disallocate_busy = 0;
    config->waitactive_ms = 3000;
}

bool vtemu_config_load(const char *dir, VtemuConfig *config)
{
    char path[1100];
    if (!join(path, sizeof path, dir, "console.conf"))
        return false;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[8192];
    size_t length = 0;
    for (;;) {
        const ssize_t n = read(fd, text + length, sizeof text - 1 - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        length += (size_t)n;
        if (length == sizeof text - 1)
            break;
    }
    close(fd);
    text[length] = '\0';

    glimmer_vtemu_config_default(config);
    for (char *line = text; line && *line;) {
        char *next = strchr(line, '\n');
        if (next)
            *next++ = '\0';
        char *hash = strchr(line, '#');
        if (hash)
            *hash = '\0';
        if (!parse_line(line, config))
            return false;
        line = next;
    }
    return true;
}

// ---- the model ------------------------------------------------------------

static void fresh_terminal(VtemuTerminal *t)
{
    memset(t, 0, sizeof *t);
    t->allocated = 1;
    t->kd_mode = KD_TEXT;
    t->mode = VT_AUTO;
    t->new_vt = -1;
}

void vtemu_state_init(VtemuState *state, const VtemuConfig *config)
{
    memset(state, 0, sizeof *state);
    state->magic = VTEMU_STATE_MAGIC;
    state->size = sizeof *state;
    for (int n = 0; n <= VTEMU_MAX_VT; n++)
        state->vt[n].new_vt = -1;
    for (int n = 1; n <= VTEMU_MAX_VT; n++) {
        if (config->held_mask & ((uint64_t)1 << n)) {
            fresh_terminal(&state->vt[n]);
            state->vt[n].held = 1;
        }
    }
    state->active = config->active;
    if (!state->vt[state->active].allocated)
        fresh_terminal(&state->vt[state->active]);
}

// A process that has exited (or is a zombie) holds no descriptors any more.
static bool process_alive(int pid)
{
    if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM))
        return false;
    char path[64];
    VtemuLine l = {};
    put(&l, "/proc/");
    put_int(&l, pid);
    put(&l, "/stat");
    memcpy(path, l.text, l.length + 1);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    char text[512];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return true;
    text[n] = '\0';
    const char *paren = strrchr(text, ')');
    return !(paren && paren[1] == ' ' && (paren[2] == 'Z' || paren[2] == 'X'));
}

int glimmer_vtemu_open_count(const VtemuState *state, int vt)
{
    int count = 0;
    for (const VtemuOpener &o : state->openers)
        if (o.count > 0 && o.vt == vt)
            count += o.count;
    return count;
}

static bool in_use(const VtemuState *st, int vt)
{
    return st->vt[vt].held || glimmer_vtemu_open_count(st, vt) > 0;
}

static void add_opener(VtemuState *st, int pid, int vt, int delta)
{
    VtemuOpener *free_slot = nullptr;
    for (VtemuOpener &o : st->openers) {
        if (o.count > 0 && o.pid == pid && o.vt == vt) {
            o.count += delta;
            return;
        }
        if (o.count <= 0 && !free_slot)
            free_slot = &o;
    }
    if (delta > 0 && free_slot) {
        free_slot->pid = pid;
        free_slot->vt = vt;
        free_slot->count = delta;
    }
}

bool vtemu_session_begin(VtemuSession *s, const char *dir)
{
    const size_t length = strlen(dir);
    if (length + 1 > sizeof s->dir || !vtemu_config_load(dir, &s->config))
        return false;
    memcpy(s->dir, dir, length + 1);
    s->pid = (int)getpid();
    s->event_count = 0;
    s->request_line.length = 0;
    s->request_line.text[0] = '\0';

    sigset_t all;
    sigfillset(&all);
    (void)sigprocmask(SIG_BLOCK, &all, &s->saved_mask);

    char path[1100];
    (void)join(path, sizeof path, dir, "console.state");
    s->state_fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (s->state_fd < 0) {
        (void)sigprocmask(SIG_SETMASK, &s->saved_mask, nullptr);
        return false;
    }
    while (flock(s->state_fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    const ssize_t n = pread(s->state_fd, &s->state, sizeof s->state, 0);
    if (n != (ssize_t)sizeof s->state || s->state.magic != VTEMU_STATE_MAGIC ||
        s->state.size != sizeof s->state)
        vtemu_state_init(&s->state, &s->config);
    for (VtemuOpener &o : s->state.openers)
        if (o.count > 0 && !process_alive(o.pid))
            o.count = 0;
    return true;
}

// Writes everything, at `offset` or appending when it is negative.
static bool write_all(int fd, const char *data, size_t size, off_t offset)
{
    while (size > 0) {
        const ssize_t n = offset < 0 ? write(fd, data, size) : pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= (size_t)n;
        if (offset >= 0)
            offset += n;
    }
    return true;
}

static void write_line(int fd, VtemuLine *l)
{
    if (l->length == 0)
        return;
    l->text[l->length] = '\n';
    (void)write_all(fd, l->text, l->length + 1, -1);
    l->text[l->length] = '\0';
}

void vtemu_session_end(VtemuSession *s)
{
    (void)write_all(s->state_fd, (const char *)&s->state, sizeof s->state, 0);
    char path[1100];
    (void)join(path, sizeof path, s->dir, "console.log");
    const int log = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (log >= 0) {
        write_line(log, &s->request_line);
        for (int i = 0; i < s->event_count; i++)
            write_line(log, &s->events[i]);
        close(log);
    }
    (void)flock(s->state_fd, LOCK_UN);
    close(s->state_fd);
    s->state_fd = -1;
    (void)sigprocmask(SIG_SETMASK, &s->saved_mask, nullptr);
}

// Counts the call and applies a configured refusal.
static bool refused(VtemuSession *s, int request, int *error)
{
    const uint32_t call = ++s->state.calls[request];
    for (int i = 0; i < s->config.rule_count; i++) {
        const VtemuRule &r = s->config.rules[i];
        if (r.request == request && (r.nth == 0 || (uint32_t)r.nth == call)) {
            *error = r.error;
            return true;
        }
    }
    return false;
}

// Sends a switch signal the way the kernel does, to a process it may no
// longer find; never to "pid 0" or "-1", which kill would spread.
static int notify(VtemuSession *s, int vt, int pid, int sig, const char *what)
{
    int result = -1, error = ESRCH;
    if (pid > 0 && sig >= 0 && sig < NSIG) {
        result = kill(pid, sig);
        error = errno;
    }
    VtemuLine *l = event(s, vt, what);
    put(l, " ");
    put_int(l, sig);
    put(l, " pid=");
    put_int(l, pid);
    put_result(l, result, error);
    return result;
}

// What the kernel does when the owner of a VT_PROCESS terminal is gone.
static void reset_terminal(VtemuSession *s, int vt)
{
    VtemuTerminal *t = &s->state.vt[vt];
    t->kd_mode = KD_TEXT;
    t->mode = VT_AUTO;
    t->waitv = t->relsig = t->acqsig = t->frsig = 0;
    t->owner_pid = 0;
    t->new_vt = -1;
    put_result(event(s, vt, "reset"), 0, 0);
}

static void allocate(VtemuState *st, int vt)
{
    if (!st->vt[vt].allocated)
        fresh_terminal(&st->vt[vt]);
}

// What the screen goes through when terminal `vt` comes on display or
// leaves graphics mode while shown: a terminal in text mode is drawn, and
// the console first sets the display's mode again (a full mode set) when the
// screen was in graphics mode. A terminal in graphics mode is not drawn.
static void show_terminal(VtemuSession *s, int vt, int screen_mode)
{
    if (s->state.vt[vt].kd_mode != KD_TEXT)
        return;
    if (screen_mode == KD_GRAPHICS)
        put_result(event(s, vt, "mode_set"), 0, 0);
    put_result(event(s, vt, "draw"), 0, 0);
}

static void complete_switch(VtemuSession *s, int to)
{
    VtemuState *st = &s->state;
    const int from = st->active;
    const int screen_mode = st->vt[from].kd_mode;
    st->active = to;
    st->acquire_pending = 0;
    VtemuLine *l = event(s, to, "switch");
    put(l, " from=");
    put_int(l, from);
    put_result(l, 0, 0);

    VtemuTerminal *t = &st->vt[to];
    if (t->mode == VT_PROCESS) {
        if (notify(s, to, t->owner_pid, t->acqsig, "acqsig") == 0)
            st->acquire_pending = to;
        else
            reset_terminal(s, to);
    }
    show_terminal(s, to, screen_mode);
}

static void change_console(VtemuSession *s, int to)
{
    VtemuState *st = &s->state;
    const int from = st->active;
    if (to == from)
        return;
    VtemuTerminal *t = &st->vt[from];
    if (t->mode == VT_PROCESS) {
        if (notify(s, from, t->owner_pid, t->relsig, "relsig") == 0) {
            t->new_vt = to;
            return;
        }
        reset_terminal(s, from);
    }
    // The kernel ignores switches away from a terminal in graphics mode
    // that nobody has taken control of.
    if (t->kd_mode == KD_GRAPHICS) {
        VtemuLine *l = event(s, from, "switch_ignored");
        put(l, " to=");
        put_int(l, to);
        put_result(l, 0, 0);
        return;
    }
    complete_switch(s, to);
}

static void put_flags(VtemuLine *l, int flags)
{
    const int access = flags & O_ACCMODE;
    put(l, access == O_RDONLY ? " O_RDONLY" : access == O_WRONLY ? " O_WRONLY" : " O_RDWR");
    if (flags & O_NONBLOCK)
        put(l, "|O_NONBLOCK");
}

int vtemu_open(VtemuSession *s, int vt, int flags, int *resolved, int *error)
{
    VtemuState *st = &s->state;
    VtemuLine *l = &s->request_line;
    begin_line(s, l, vt, "open");
    put_flags(l, flags);
    int result = 0;
    if (refused(s, vt == 0 ? VTEMU_REQ_OPEN_TTY0 : VTEMU_REQ_OPEN_TTY, error)) {
        result = -1;
    } else if (vt < 0 || vt > VTEMU_MAX_VT) {
        *error = ENOENT;
        result = -1;
    } else {
        *resolved = vt == 0 ? st->active : vt;
        allocate(st, *resolved);
        add_opener(st, s->pid, *resolved, 1);
    }
    put_result(l, result, *error);
    return result;
}

void vtemu_close(VtemuSession *s, int device, int vt)
{
    VtemuState *st = &s->state;
    int error = 0;
    (void)refused(s, VTEMU_REQ_CLOSE, &error); // counted only: a close always closes
    add_opener(st, s->pid, vt, -1);
    if (!in_use(st, vt))
        st->vt[vt].busy_left = s->config.disallocate_busy;
    begin_line(s, &s->request_line, device, "close");
    put_result(&s->request_line, 0, 0);
}

static int request_index(unsigned long request)
{
    switch (request) {
    case VT_OPENQRY:
        return VTEMU_REQ_VT_OPENQRY;
    case VT_GETSTATE:
        return VTEMU_REQ_VT_GETSTATE;
    case VT_GETMODE:
        return VTEMU_REQ_VT_GETMODE;
    case VT_SETMODE:
        return VTEMU_REQ_VT_SETMODE;
    case VT_ACTIVATE:
        return VTEMU_REQ_VT_ACTIVATE;
    case VT_WAITACTIVE:
        return VTEMU_REQ_VT_WAITACTIVE;
    case VT_RELDISP:
        return VTEMU_REQ_VT_RELDISP;
    case VT_DISALLOCATE:
        return VTEMU_REQ_VT_DISALLOCATE;
    case KDSETMODE:
        return VTEMU_REQ_KDSETMODE;
    case KDGETMODE:
        return VTEMU_REQ_KDGETMODE;
    default:
        return -1;
    }
}

static bool busy(const VtemuState *st, int vt)
{
    return in_use(st, vt) || vt == st->active;
}

static void deallocate(VtemuState *st, int vt)
{
    memset(&st->vt[vt], 0, sizeof st->vt[vt]);
    st->vt[vt].new_vt = -1;
    if (st->acquire_pending == vt)
        st->acquire_pending = 0;
}

int vtemu_ioctl(VtemuSession *s, int device, int vt, unsigned long request, void *arg, int *error)
{
    VtemuState *st = &s->state;
    VtemuLine *l = &s->request_line;
    const int index = request_index(request);
    const int value = (int)(uintptr_t)arg; // requests that take a number by value
    VtemuLine out = {};

    if (index < 0 || index == VTEMU_REQ_VT_WAITACTIVE) {
        begin_line(s, l, device, "ioctl ");
        put_hex(l, request);
        *error = ENOTTY;
        put_result(l, -1, *error);
        return -1;
    }
    begin_line(s, l, device, REQUEST_NAMES[index]);
    const bool by_value = index == VTEMU_REQ_VT_ACTIVATE || index == VTEMU_REQ_VT_RELDISP ||
                          index == VTEMU_REQ_VT_DISALLOCATE || index == VTEMU_REQ_KDSETMODE;
    if (by_value) {
        put(l, " ");
        if (index == VTEMU_REQ_KDSETMODE && value == KD_GRAPHICS)
            put(l, "KD_GRAPHICS");
        else if (index == VTEMU_REQ_KDSETMODE && value == KD_TEXT)
            put(l, "KD_TEXT");
        else
            put_int(l, value);
    }
    if (index == VTEMU_REQ_VT_SETMODE && arg) {
        const struct vt_mode *m = (const struct vt_mode *)arg;
        VtemuTerminal shown = {};
        shown.mode = m->mode;
        shown.waitv = m->waitv;
        shown.relsig = m->relsig;
        shown.acqsig = m->acqsig;
        shown.frsig = m->frsig;
        put(l, " ");
        put_mode(l, &shown);
    }

    int result = 0;
    *error = 0;
    const bool needs_pointer = !by_value;
    const bool needs_terminal = index == VTEMU_REQ_VT_GETMODE || index == VTEMU_REQ_VT_SETMODE ||
                                index == VTEMU_REQ_VT_RELDISP || index == VTEMU_REQ_KDSETMODE ||
                                index == VTEMU_REQ_KDGETMODE;
    VtemuTerminal *t = vt >= 1 && vt <= VTEMU_MAX_VT ? &st->vt[vt] : nullptr;

    if (refused(s, index, error)) {
        result = -1;
    } else if (needs_pointer && !arg) {
        *error = EFAULT;
        result = -1;
    } else if (needs_terminal && !t) {
        *error = ENOTTY;
        result = -1;
    } else {
        switch (index) {
        case VTEMU_REQ_VT_OPENQRY: {
            int free_vt = s->config.free_vt;
            if (free_vt == 0) {
                free_vt = -1;
                for (int n = 1; n <= VTEMU_MAX_VT && free_vt < 0; n++)
                    if (!in_use(st, n))
                        free_vt = n;
            }
            *(int *)arg = free_vt;
            put_int(&out, free_vt);
            break;
        }
        case VTEMU_REQ_VT_GETSTATE: {
            struct vt_stat *vs = (struct vt_stat *)arg;
            unsigned short bits = 1; // /dev/tty0 counts as always open
            for (int n = 1; n < 16; n++)
                if (in_use(st, n))
                    bits = (unsigned short)(bits | (1u << n));
            vs->v_active = (unsigned short)st->active;
            vs->v_signal = 0;
            vs->v_state = bits;
            put(&out, "v_active=");
            put_int(&out, st->active);
            put(&out, " v_state=");
            put_hex(&out, bits);
            break;
        }
        case VTEMU_REQ_VT_GETMODE: {
            struct vt_mode *m = (struct vt_mode *)arg;
            m->mode = (char)t->mode;
            m->waitv = (char)t->waitv;
            m->relsig = (short)t->relsig;
            m->acqsig = (short)t->acqsig;
            m->frsig = (short)t->frsig;
            put_mode(&out, t);
            break;
        }
        case VTEMU_REQ_VT_SETMODE: {
            const struct vt_mode *m = (const struct vt_mode *)arg;
            if ((m->mode != VT_AUTO && m->mode != VT_PROCESS) || m->relsig < 0 ||
                m->relsig >= NSIG || m->acqsig < 0 || m->acqsig >= NSIG) {
                *error = EINVAL;
                result = -1;
                break;
            }
            t->mode = m->mode;
            t->waitv = m->waitv;
            t->relsig = m->relsig;
            t->acqsig = m->acqsig;
            t->frsig = 0; // the kernel ignores it
            t->owner_pid = s->pid;
            t->new_vt = -1;
            break;
        }
        case VTEMU_REQ_VT_ACTIVATE:
            if (value < 1 || value > VTEMU_MAX_VT) {
                *error = ENXIO;
                result = -1;
                break;
            }
            allocate(st, value);
            change_console(s, value);
            break;
        case VTEMU_REQ_VT_RELDISP:
            if (t->mode != VT_PROCESS) {
                *error = EINVAL;
                result = -1;
            } else if (t->new_vt < 0) {
                // Not asked to let go: only the acknowledgment of getting
                // the display back is accepted.
                if (value != VT_ACKACQ) {
                    *error = EINVAL;
                    result = -1;
                } else if (st->acquire_pending == vt) {
                    st->acquire_pending = 0;
                }
            } else if (value == 0) {
                t->new_vt = -1; // refused: the display stays
            } else {
                const int to = t->new_vt;
                t->new_vt = -1;
                allocate(st, to);
                complete_switch(s, to);
            }
            break;
        case VTEMU_REQ_VT_DISALLOCATE:
            if (value < 0 || value > VTEMU_MAX_VT) {
                *error = ENXIO;
                result = -1;
            } else if (value == 0) {
                for (int n = 2; n <= VTEMU_MAX_VT; n++)
                    if (st->vt[n].allocated && !busy(st, n))
                        deallocate(st, n);
            } else if (busy(st, value)) {
                *error = EBUSY;
                result = -1;
            } else if (st->vt[value].busy_left > 0) {
                st->vt[value].busy_left--;
                *error = EBUSY;
                result = -1;
            } else if (value > 1) {
                deallocate(st, value);
            }
            break;
        case VTEMU_REQ_KDSETMODE: {
            const int before = t->kd_mode;
            if (value == KD_TEXT || value == KD_TEXT0 || value == KD_TEXT1)
                t->kd_mode = KD_TEXT;
            else if (value == KD_GRAPHICS)
                t->kd_mode = KD_GRAPHICS;
            else {
                *error = EINVAL;
                result = -1;
            }
            // A terminal in the background only changes its mode; the
            // screen changes when it comes on display.
            if (vt == st->active && t->kd_mode != before)
                show_terminal(s, vt, before);
            break;
        }
        case VTEMU_REQ_KDGETMODE:
            *(int *)arg = t->kd_mode;
            put(&out, t->kd_mode == KD_GRAPHICS ? "KD_GRAPHICS" : "KD_TEXT");
            break;
        default:
            break;
        }
    }
    put_result(l, result, *error);
    if (result == 0 && out.length) {
        put(l, " -> ");
        put(l, out.text);
    }
    return result;
}

// Sleeps with the caller's signal mask, which `ppoll` puts in place
// atomically: a signal that arrived while the model held every signal blocked
// is still pending and ends the sleep at once, as a pending signal ends the
// kernel's interruptible wait. Unblocking first and sleeping after would let
// such a signal's handler run in between and the wait go on.
static void sleep_ms(int ms, const sigset_t *caller_mask, bool *interrupted)
{
    const struct timespec pause = {0, (long)ms * 1000 * 1000};
    if (ppoll(nullptr, 0, &pause, caller_mask) != 0 && errno == EINTR)
        *interrupted = true;
}

int vtemu_wait_active(const char *dir, int device, int target, int *error)
{
    // Every signal stays blocked from here to the end of the request but for
    // the sleeps, so a signal that arrives meanwhile ends the wait.
    sigset_t all, caller_mask;
    sigfillset(&all);
    (void)sigprocmask(SIG_BLOCK, &all, &caller_mask);

    VtemuSession s;
    if (!vtemu_session_begin(&s, dir)) {
        (void)sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
        *error = EIO;
        return -1;
    }
    int result = 0;
    *error = 0;
    const int limit_ms = s.config.waitactive_ms;
    if (refused(&s, VTEMU_REQ_VT_WAITACTIVE, error)) {
        result = -1;
    } else if (target < 1 || target > VTEMU_MAX_VT) {
        *error = ENXIO;
        result = -1;
    }
    bool shown = result == 0 && s.state.active == target;
    vtemu_session_end(&s);

    // Look at the model every 2 ms; signals are let through only while
    // sleeping, as in the kernel's interruptible wait.
    for (int waited = 0; result == 0 && !shown;) {
        if (waited >= limit_ms) {
            *error = ETIMEDOUT;
            result = -1;
            break;
        }
        bool interrupted = false;
        sleep_ms(2, &caller_mask, &interrupted);
        waited += 2;
        if (interrupted) {
            *error = EINTR;
            result = -1;
            break;
        }
        if (!vtemu_session_begin(&s, dir)) {
            *error = EIO;
            result = -1;
            break;
        }
        shown = s.state.active == target;
        vtemu_session_end(&s);
    }

    if (vtemu_session_begin(&s, dir)) {
        begin_line(&s, &s.request_line, device, "VT_WAITACTIVE ");
        put_int(&s.request_line, target);
        put_result(&s.request_line, result, *error);
        vtemu_session_end(&s);
    }
    (void)sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
    return result;
}
