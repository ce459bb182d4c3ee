#!/usr/bin/env python3
"""System test of glimmer on real Linux kernels under QEMU (TCG).

Boots Debian's kernels with a small initramfs (busybox, the static glimmer
build, a probe for terminal and framebuffer state), runs glimmer on the
kernel's own framebuffer drivers and virtual terminals, drives it through the
FIFO and with signals and terminal switches, and compares QEMU's screen
captures pixel for pixel with the expected pictures computed by expect_scene.

Each display's VM is booted once and runs several scenarios in a row (a
failed scenario costs a fresh boot for the next one). Captures (PNG), the
expected pictures of failed comparisons and each boot's serial log stay in
the output directory, with DISPLAY.steps.log (every step as it starts) and,
for a failed scenario, DISPLAY-SCENARIO.failed.txt (the step, the reason, the
screen and the guest's messages at that moment). A failed run leaves
FAILED.txt; the next run then moves its files into failed-TIME/.

  glimmer_vm.py --prepare --guest-dir G          fetch kernels, build guest programs
  glimmer_vm.py --guest-dir G --expect EXPECT_SCENE --out OUT [--suite bochs ...]
                [--scenario timing ...]

Kernels and packages are cached in $GLIMMER_VM_CACHE (~/.cache/glimmer-vm).
"""

import argparse
import fcntl
import glob
import gzip
import json
import lzma
import os
import queue
import re
import shlex
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib

CACHE = os.environ.get("GLIMMER_VM_CACHE", os.path.expanduser("~/.cache/glimmer-vm"))
HERE = os.path.dirname(os.path.abspath(__file__))


def scene_facts(expect_tool):
    """The build's theme and picture sizes, as expect_scene --facts prints them."""
    out = run([expect_tool, "--facts"], capture_output=True, text=True).stdout
    return {line.split()[0]: tuple(int(v) for v in line.split()[1:]) for line in out.splitlines()}


class Failure(Exception):
    pass


def log(*args):
    print(*args, flush=True)


def run(cmd, **kw):
    kw.setdefault("check", True)
    return subprocess.run(cmd, **kw)


# ---------------------------------------------------------------- host tools

APT_DELAYS = (2, 5, 10)  # pauses between attempts, in seconds


def apt_update():
    """Updates the package lists, with a few retries: an archive in mid-sync
    fails an index ("Mirror sync in progress?"), sometimes for an hour. Never
    fails: what follows works with the lists there are and names a package
    that cannot be had."""
    for delay in APT_DELAYS + (None,):
        r = run(["apt-get", "update", "-q"], check=False, stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE, text=True)
        if r.returncode == 0:
            return
        last = (r.stderr.strip().splitlines() or ["status %d" % r.returncode])[-1]
        if delay is None:
            log("apt-get update keeps failing (%s); going on with the package lists there are"
                % last)
            return
        log("apt-get update failed (%s); trying again in %d s" % (last, delay))
        time.sleep(delay)


def apt_get(args, what, **kw):
    """apt-get install or download, tried again after an update (old lists
    name files the archive has dropped). Failure names what could not be had."""
    for attempt in range(2):
        r = run(["apt-get", "-o", "DPkg::Lock::Timeout=300"] + args, check=False,
                capture_output=True, text=True, **kw)
        if r.returncode == 0:
            return
        if attempt == 0:
            apt_update()
    raise Failure("cannot get %s: %s" % (what, " ".join(r.stderr.strip().splitlines()[-2:])))


def ensure_host_packages(extra=None):
    """Installs the tools the VMs need; extra maps more tools to their packages."""
    want = {"qemu-system-x86_64": "qemu-system-x86", "qemu-system-arm": "qemu-system-arm",
            "dtc": "device-tree-compiler", "busybox": "busybox-static",
            "arm-linux-gnueabihf-gcc": "gcc-arm-linux-gnueabihf",
            "arm-linux-gnueabihf-g++": "g++-arm-linux-gnueabihf"}
    want.update(extra or {})
    missing = sorted({pkg for tool, pkg in want.items() if not shutil.which(tool)})
    if missing:
        log("installing", " ".join(missing))
        apt_update()
        apt_get(["install", "-y", "-q", "--no-install-recommends"] + missing, " ".join(missing),
                env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def newest_kernel(flavour):
    for attempt in range(2):
        out = run(["apt-cache", "search", "--names-only",
                   r"^linux-image-6\.1\.0-[0-9]+-%s$" % flavour], capture_output=True, text=True).stdout
        names = re.findall(r"^(linux-image-6\.1\.0-(\d+)-%s) " % flavour, out, re.M)
        if names:
            return max(names, key=lambda n: int(n[1]))[0]
        if attempt == 0:
            apt_update()  # no lists yet, or none for this architecture
    raise Failure("no package linux-image-6.1.0-N-%s in the package lists" % flavour)


def fetch_package(name, arch, dest):
    """Downloads a Debian package once and unpacks it into dest."""
    if os.path.exists(os.path.join(dest, ".unpacked")):
        return dest
    dl = os.path.join(CACHE, "dl")
    os.makedirs(dl, exist_ok=True)
    package = name if arch is None else "%s:%s" % (name, arch)
    log("fetching", package)
    debs = lambda: set(glob.glob(os.path.join(dl, name.split(":")[0] + "_*.deb")))
    if not debs():
        apt_get(["download", package], package, cwd=dl)
    deb = sorted(debs())[-1]
    shutil.rmtree(dest, ignore_errors=True)
    run(["dpkg-deb", "-x", deb, dest])
    open(os.path.join(dest, ".unpacked"), "w").close()
    return dest


def ensure_armhf_arch():
    archs = run(["dpkg", "--print-foreign-architectures"], capture_output=True, text=True).stdout
    if "armhf" not in archs.split():
        run(["dpkg", "--add-architecture", "armhf"])
        apt_update()


class Kernel:
    def __init__(self, root):
        self.root = root
        self.version = os.listdir(os.path.join(root, "lib/modules"))[0]
        self.moddir = os.path.join(root, "lib/modules", self.version)
        vmlinuz = glob.glob(os.path.join(root, "boot/vmlinuz-*"))
        self.image = vmlinuz[0]
        if not os.path.exists(os.path.join(self.moddir, "modules.dep")):
            run(["busybox", "depmod", "-b", root, self.version])
        self.deps = {}
        with open(os.path.join(self.moddir, "modules.dep")) as f:
            for line in f:
                mod, _, rest = line.partition(":")
                self.deps[mod.strip()] = rest.split()

    def find(self, name):
        for mod in self.deps:
            if os.path.basename(mod).split(".ko")[0] == name:
                return mod
        raise Failure("module %s not in %s" % (name, self.version))

    def load_order(self, names):
        order = []

        def visit(mod):
            if mod in order:
                return
            for d in self.deps.get(mod, []):
                visit(d)
            order.append(mod)

        for n in names:
            visit(self.find(n))
        return order


def fetch_x86():
    ensure_host_packages()
    name = newest_kernel("amd64") if not glob.glob(os.path.join(CACHE, "linux-amd64/boot")) else None
    root = os.path.join(CACHE, "linux-amd64")
    if name:
        fetch_package(name, None, root)
    k = Kernel(root)
    # Uncompressed vmlinux boots through PVH, skipping the decompressor.
    k.vmlinux = os.path.join(CACHE, "vmlinux-" + k.version)
    if not os.path.exists(k.vmlinux):
        data = open(k.image, "rb").read()
        at = data.find(b"\xfd7zXZ\x00")
        elf = lzma.LZMADecompressor(lzma.FORMAT_XZ).decompress(data[at:]) if at >= 0 else b""
        if elf[:4] == b"\x7fELF":
            with open(k.vmlinux + ".tmp", "wb") as f:
                f.write(elf)
            os.rename(k.vmlinux + ".tmp", k.vmlinux)
    k.busybox = shutil.which("busybox")
    return k


def fetch_arm():
    ensure_host_packages()
    ensure_armhf_arch()
    root = os.path.join(CACHE, "linux-armhf")
    if not glob.glob(os.path.join(root, "boot")):
        fetch_package(newest_kernel("armmp"), "armhf", root)
    k = Kernel(root)
    bb = fetch_package("busybox-static", "armhf", os.path.join(CACHE, "busybox-armhf"))
    k.busybox = os.path.join(bb, "bin/busybox")
    k.dtb = os.path.join(CACHE, "vexpress-ca15-panel.dtb")
    if not os.path.exists(k.dtb):
        src = glob.glob(os.path.join(root, "usr/lib/linux-image-*/vexpress-v2p-ca15-tc1.dtb"))[0]
        dts = run(["dtc", "-q", "-I", "dtb", "-O", "dts", src], capture_output=True,
                  text=True).stdout
        # The board's DVI transmitter has no driver; described as a plain
        # parallel panel with a 640x480 timing, the CLCD driver binds to it.
        timing = ("compatible = \"panel-dpi\";\nreg = <0x39>;\n"
                  "panel-timing {\n clock-frequency = <12000000>;\n"
                  " hactive = <640>; vactive = <480>;\n"
                  " hfront-porch = <16>; hback-porch = <48>; hsync-len = <96>;\n"
                  " vfront-porch = <10>; vback-porch = <33>; vsync-len = <2>;\n};\n")
        dts, n = re.subn(r'compatible = "sil,sii9022-tpi\\0sil,sii9022";\s*reg = <0x39>;',
                         lambda m: timing, dts, count=1)
        if n != 1:
            raise Failure("device tree: DVI transmitter node not found")
        run(["dtc", "-q", "-I", "dts", "-O", "dtb", "-o", k.dtb + ".tmp", "-"], input=dts,
            text=True)
        os.rename(k.dtb + ".tmp", k.dtb)
    return k


# ---------------------------------------------------------------- guest builds

def build_guest(source, build_dir, cross, extra_args):
    args = ["cmake", "-S", source, "-B", build_dir, "-DGLIMMER_TESTS=OFF", "-DGLIMMER_WERROR=ON",
            "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_EXE_LINKER_FLAGS=-static"] + extra_args
    if cross:
        shared = os.path.join(source, "cmake/armhf-linux-gnueabihf.cmake")
        mine = os.path.join(HERE, "armhf-toolchain.cmake")
        args.append("-DCMAKE_TOOLCHAIN_FILE=" + (shared if os.path.exists(shared) else mine))
    run(args, stdout=subprocess.DEVNULL)
    targets = ["glimmer"]
    if os.path.exists(os.path.join(source, "src/client/CMakeLists.txt")):
        targets.append("glimmer-write")
    run(["cmake", "--build", build_dir, "--target"] + targets + ["-j2"], stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "glimmer")


# The start-up timer is a benchmark of its own, kept with the others.
BENCH_VM = os.path.join(os.path.dirname(os.path.dirname(HERE)), "bench", "vm")


def build_probe(out_dir, cross, name="vtprobe", where=HERE):
    exe = os.path.join(out_dir, name + ("-arm" if cross else "-x86"))
    cc = "arm-linux-gnueabihf-gcc" if cross else "gcc"
    # startprobe's DRM floor takes the kernel's DRM headers from libdrm's copy
    # where the compiler has none of its own.
    inc = ["-I/usr/include/libdrm"] if os.path.isdir("/usr/include/libdrm") else []
    run([cc, "-static", "-O2", "-Wall", "-Wextra", "-Werror"] + inc + ["-o", exe,
         os.path.join(where, name + ".c")])
    return exe


def find_client(glimmer):
    """glimmer-write from the same build as glimmer, if that build has it."""
    top = os.path.dirname(glimmer)
    for path in (os.path.join(top, "glimmer-write"), os.path.join(top, "src/client/glimmer-write")):
        if os.path.exists(path):
            return path
    return None


def make_initramfs(kernel, modules, glimmer, probe, serial, path, device="/dev/fb0", extra=()):
    stage = path + ".d"
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(os.path.join(stage, "bin"))
    os.makedirs(os.path.join(stage, "etc"))
    shutil.copy(kernel.busybox, os.path.join(stage, "bin/busybox"))
    shutil.copy(glimmer, os.path.join(stage, "bin/glimmer"))
    client = find_client(glimmer)
    if client:
        shutil.copy(client, os.path.join(stage, "bin/glimmer-write"))
    shutil.copy(probe, os.path.join(stage, "bin/vtprobe"))
    shutil.copy(probe.replace("vtprobe", "startprobe"), os.path.join(stage, "bin/startprobe"))
    for program in extra:
        shutil.copy(program, os.path.join(stage, "bin", os.path.basename(program).split("-")[0]))
    shutil.copy(os.path.join(HERE, "guest_init.sh"), os.path.join(stage, "init"))
    os.chmod(os.path.join(stage, "init"), 0o755)
    stage_modules(kernel, modules, stage)
    with open(os.path.join(stage, "etc/serial"), "w") as f:
        f.write(serial + "\n")
    with open(os.path.join(stage, "etc/device"), "w") as f:
        f.write(device + "\n")
    return pack_initramfs(stage, path)


def stage_modules(kernel, modules, stage):
    """Copies the (module, parameters) pairs and what they depend on into
    stage and lists them in load order in stage/etc/modules.list."""
    lines = []
    params = {kernel.find(mod): p for mod, p in modules if p}
    for m in kernel.load_order([mod for mod, _ in modules]):
        os.makedirs(os.path.dirname(os.path.join(stage, m)), exist_ok=True)
        shutil.copy(os.path.join(kernel.moddir, m), os.path.join(stage, m))
        lines.append(m + (" " + params[m] if m in params else ""))
    os.makedirs(os.path.join(stage, "etc"), exist_ok=True)
    with open(os.path.join(stage, "etc/modules.list"), "w") as f:
        f.write("\n".join(lines) + "\n")


def pack_initramfs(stage, path):
    names = run(["find", "."], cwd=stage, capture_output=True).stdout
    cpio = run(["busybox", "cpio", "-o", "-H", "newc"], cwd=stage, input=names,
               capture_output=True).stdout
    with open(path, "wb") as f:
        f.write(gzip.compress(cpio, 6))
    return path


# ---------------------------------------------------------------- pictures

def read_ppm(path):
    data = open(path, "rb").read()
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
    if not m:
        raise Failure("%s: not a P6 picture" % path)
    w, h = int(m.group(1)), int(m.group(2))
    pixels = data[m.end():m.end() + w * h * 3]
    if len(pixels) != w * h * 3:
        raise Failure("%s: short picture" % path)
    return w, h, pixels


def write_png(path, w, h, pixels):
    raw = b"".join(b"\x00" + pixels[y * w * 3:(y + 1) * w * 3] for y in range(h))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xffffffff))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw, 3)) + chunk(b"IEND", b""))


def pixel_diff(w, h, want, got, limit=8):
    """Counts the differing pixels; returns (count, first few)."""
    count, first = 0, []
    row = w * 3
    for y in range(h):
        a, b = want[y * row:(y + 1) * row], got[y * row:(y + 1) * row]
        if a == b:
            continue
        for x in range(w):
            pa, pb = a[x * 3:x * 3 + 3], b[x * 3:x * 3 + 3]
            if pa != pb:
                count += 1
                if len(first) < limit:
                    first.append((x, y, tuple(pa), tuple(pb)))
    return count, first


def tdiv(a, b):
    """Division truncating toward zero, as the C code divides."""
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b >= 0) else -q


class Screen:
    """A capture seen in logical coordinates for a rotation angle."""

    def __init__(self, w, h, pixels, angle):
        self.dw, self.dh, self.px, self.angle = w, h, pixels, angle
        swap = angle in (90, 270)
        self.W, self.H = (h, w) if swap else (w, h)

    def at(self, x, y):
        W, H, a = self.W, self.H, self.angle
        if a == 90:
            dx, dy = y, W - 1 - x
        elif a == 180:
            dx, dy = W - 1 - x, H - 1 - y
        elif a == 270:
            dx, dy = H - 1 - y, x
        else:
            dx, dy = x, y
        i = (dy * self.dw + dx) * 3
        return tuple(self.px[i:i + 3])


def quantize(colour, lengths, mode):
    out = []
    for c, n in zip(colour, lengths):
        if n >= 8:
            out.append(c)
            continue
        v = c >> (8 - n)
        e = v << (8 - n)
        if mode == "replicate":
            have = n
            while have < 8:
                e |= (v << (8 - n)) >> have
                have += n
        out.append(e & 255)
    return tuple(out)


def check_layout(scr, progress, message, lengths, mode, facts):
    """Facts about the scene that hold whatever the drawing code does: the
    bar's filled width for the last progress value, the background around
    picture and bar, and the message band's rows and centring; all placed
    from the build's theme, picture and frame sizes (expect_scene --facts)."""
    W, H = scr.W, scr.H
    q = lambda c: quantize(c, lengths, mode)
    white, filled, empty, ink = (q(facts[k]) for k in ("background", "bar_fill", "bar_empty", "ink"))
    s = facts["scale"][0] or max(1, min(W // 800, H // 480))
    fw, fh = facts["frame"][0] * s, facts["frame"][1] * s
    pw, ph = facts["picture"]
    num, den = facts["bar_position"]
    cell = facts["font_height"][0] * s
    iw, ih = fw - 8 * s, fh - 8 * s
    problems = []
    bar_top = H - tdiv(H * (den - num), den)
    ix, iy = tdiv(W - fw, 2) + 4 * s, bar_top + 4 * s
    n = min(abs(progress), 100)
    f = tdiv(iw * n, 100)
    for y in range(iy, iy + ih):
        for i in range(iw):
            on = i < f if progress > 0 else i >= iw - f
            want = filled if on else empty
            got = scr.at(ix + i, y)
            if got != want:
                problems.append("bar pixel (%d,%d) is %s, want %s for progress %d (%d of %d filled)"
                                % (ix + i, y, got, want, progress, f, iw))
                break
        if problems:
            break
    band_top = bar_top - cell
    pic_bottom = tdiv(tdiv(H * num, den) - ph, 2) + ph
    white_rows = list(range(max(pic_bottom, 0), band_top)) + list(range(bar_top + fh, H))
    for y in white_rows:
        bad = [x for x in range(W) if scr.at(x, y) != white]
        if bad:
            problems.append("row %d should be white, %d pixels are not (first at x=%d: %s)"
                            % (y, len(bad), bad[0], scr.at(bad[0], y)))
            break
    for x in (0, W - 1):
        # The screen's edges, outside the message band, which a long message reaches.
        if W > pw and any(scr.at(x, y) != white for y in range(H) if not band_top <= y < bar_top):
            problems.append("column %d should be white" % x)
    inked, ink_rows = [], []
    for y in range(band_top, bar_top):
        for x in range(W):
            c = scr.at(x, y)
            if c == ink:
                inked.append(x)
                if not ink_rows or ink_rows[-1] != y:
                    ink_rows.append(y)
            elif c != white:
                problems.append("message band pixel (%d,%d) is %s, neither white nor ink"
                                % (x, y, c))
                break
    if message and not inked:
        problems.append("message %r: no ink in the band rows %d..%d" % (message, band_top, bar_top - 1))
    if not message and inked:
        problems.append("empty message but %d ink pixels in the band" % len(inked))
    # The font's cells are 12 rows: capitals stand in rows 1 to 9, lower
    # case reaches the baseline in row 9 and descenders row 11; each row is
    # s screen rows.
    if ink_rows and re.search(r"[A-Z]", message) and ink_rows[0] != band_top + s:
        problems.append("message %r: capitals start in row %d, want %d (cell row 1)"
                        % (message, ink_rows[0], band_top + s))
    low = band_top + (12 if re.search(r"[gjpqy]", message) else 10) * s - 1
    if ink_rows and re.search(r"[A-Za-z0-9]", message) and ink_rows[-1] != low:
        problems.append("message %r: ink ends in row %d, want %d" % (message, ink_rows[-1], low))
    # The process runs in the POSIX locale, where a byte above 0x7f is no
    # character: the text ends there, and only what stands before it shows.
    cut = next((i for i, ch in enumerate(message) if ord(ch) > 0x7f), None)
    if cut is not None and inked and max(inked) - min(inked) + 1 > 8 * s * cut:
        problems.append("message %r: ink %d pixels wide, more than the %d characters before "
                        "byte 0x%02x" % (message, max(inked) - min(inked) + 1, cut, ord(message[cut])))
    if message and inked and len(message) * 8 < W:
        middle = (min(inked) + max(inked) + 1) / 2
        if abs(middle - W / 2) > 8:
            problems.append("message ink spans x=%d..%d, not centred on %d"
                            % (min(inked), max(inked), W // 2))
    return problems


# ---------------------------------------------------------------- the VM

class Vm:
    def __init__(self, name, cmd, out_dir, boot, kernel_args=()):
        self.name, self.out_dir = name, out_dir
        if kernel_args:
            at = cmd.index("-append") + 1
            cmd = cmd[:at] + [cmd[at] + " " + " ".join(kernel_args)] + cmd[at + 1:]
        self.qmp_path = os.path.join(out_dir, name + ".qmp")
        if os.path.exists(self.qmp_path):
            os.unlink(self.qmp_path)
        cmd = cmd + ["-display", "none", "-monitor", "none", "-serial", "stdio",
                     "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path, "-no-reboot"]
        # Every boot keeps its own log: a failed scenario's boot is followed
        # by a fresh one for the next scenario.
        self.log_name = "%s.boot%d.serial.log" % (name, boot)
        self.log = open(os.path.join(out_dir, self.log_name), "wb")
        self.t0 = time.monotonic()
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.log)
        self.lines = queue.Queue()
        threading.Thread(target=self._reader, daemon=True).start()
        self.qmp = None

    def _reader(self):
        buf = b""
        while True:
            data = self.proc.stdout.read1(4096)
            if not data:
                self.lines.put(None)
                return
            self.log.write(data)
            self.log.flush()
            buf += data
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                self.lines.put(line.replace(b"\r", b"").decode("latin-1"))

    def wait_line(self, pattern, timeout):
        end = time.monotonic() + timeout
        seen = []
        while True:
            left = end - time.monotonic()
            if left <= 0:
                raise Failure("%s: no %r within %.0f s; last output: %s"
                              % (self.name, pattern, timeout, seen[-5:]))
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise Failure("%s: QEMU ended; last output: %s" % (self.name, seen[-8:]))
            m = re.match(pattern, line)
            if m:
                return seen, m
            seen.append(line)

    def boot(self, timeout=300):
        seen, m = self.wait_line(r"@@READY", timeout)
        self.boot_time = time.monotonic() - self.t0
        failed = [l for l in seen if l.startswith("@@INSMOD-FAILED")]
        if failed:
            raise Failure("%s: %s" % (self.name, failed))
        self.connect_qmp()
        return self.boot_time

    def connect_qmp(self, timeout=30):
        """Connects to QEMU's control socket, which appears soon after start."""
        end = time.monotonic() + timeout
        while True:
            s = socket.socket(socket.AF_UNIX)
            try:
                s.connect(self.qmp_path)
                break
            except OSError:
                s.close()
                if time.monotonic() > end or self.proc.poll() is not None:
                    raise Failure("%s: no QMP socket" % self.name)
                time.sleep(0.05)
        self.qmp = s.makefile("rwb")
        self.qmp.readline()
        self._qmp("qmp_capabilities")

    def _qmp(self, command, **args):
        self.qmp.write(json.dumps({"execute": command, "arguments": args}).encode() + b"\n")
        self.qmp.flush()
        while True:
            reply = json.loads(self.qmp.readline())
            if "return" in reply:
                return reply["return"]
            if "error" in reply:
                raise Failure("QMP %s: %s" % (command, reply["error"]))

    def sh(self, line, timeout=60):
        """Runs one shell line in the guest; returns (status, output lines)."""
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()
        seen, m = self.wait_line(r"@@END (\d+)$", timeout)
        return int(m.group(1)), seen

    def check(self, line, timeout=60):
        rc, out = self.sh(line, timeout)
        if rc != 0:
            raise Failure("guest command %r failed with %d: %s" % (line, rc, out))
        return out

    def screendump(self, path):
        self._qmp("screendump", filename=path)
        return read_ppm(path)

    def stop(self):
        try:
            if self.proc.poll() is None:
                self.proc.stdin.write(b"poweroff -f\n")
                self.proc.stdin.flush()
                self.proc.wait(timeout=10)
        except Exception:
            pass
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


# ---------------------------------------------------------------- scenarios

def printf_literal(text):
    """A printf format that writes text unchanged."""
    out = []
    for ch in text.encode("latin-1"):
        if ch == 0x25:
            out.append("%%")
        elif 0x20 <= ch < 0x7f and ch not in (0x27, 0x5c):
            out.append(chr(ch))
        else:
            out.append("\\%03o" % ch)
    return "'" + "".join(out) + "'"


def parse_fb_info(lines):
    """The framebuffer's mode from the output of "vtprobe fb"."""
    f = [l for l in lines if l.startswith("fb ")][0].split()
    bits = lambda s: tuple(int(v) for v in s.split("/"))
    return {"xres": int(f[1]), "yres": int(f[2]), "yres_virtual": int(f[4]), "bpp": int(f[5]),
            "red": bits(f[6]), "green": bits(f[7]), "blue": bits(f[8]),
            "yoffset": int(f[9]), "line_length": int(f[10]), "smem_len": int(f[11]),
            "id": " ".join(f[12:])}


def black_share(px):
    """The share of black pixels; every 97th pixel is a fair sample of a text screen."""
    black = sum(1 for i in range(0, len(px), 3 * 97) if px[i:i + 3] == b"\x00\x00\x00")
    return black / ((len(px) // 3 + 96) // 97)


class Runner:
    """Carries out scenarios, each a list of steps, in one booted VM. A
    failed scenario may leave the guest's terminals or display in any state,
    so the next scenario gets a freshly booted VM."""

    def __init__(self, make_vm, display, expect_tool, out_dir, results):
        self.make_vm, self.vm, self.d, self.expect_tool = make_vm, None, display, expect_tool
        self.out_dir, self.results = out_dir, results
        self.boot_times = []
        self.timings = []
        self.boots = 0
        self.only = None  # names of the scenarios to run, or None for all
        self.kernel_args = ()  # more kernel parameters for the next boot

    def boot(self):
        self.boots += 1
        self.vm = self.make_vm(self.boots, self.kernel_args)
        try:
            self.boot_times.append(self.vm.boot())
            i = self.fb_info()
        except Failure:
            self.close()
            raise
        log("%s booted in %.1f s: %s %dx%d %d bpp r%s g%s b%s line %d mem %d" % (
            self.vm.name, self.boot_times[-1], i["id"], i["xres"], i["yres"], i["bpp"], i["red"],
            i["green"], i["blue"], i["line_length"], i["smem_len"]))

    def close(self):
        if self.vm:
            self.vm.stop()
            self.vm = None

    def fb_info(self):
        return parse_fb_info(self.vm.check("vtprobe fb"))

    def read_file(self, path):
        rc, out = self.vm.sh("cat %s" % path)
        return "\n".join(out)

    def active_vt(self):
        return int(self.vm.check("cat /sys/class/tty/tty0/active")[-1].replace("tty", ""))

    def openqry(self):
        out = self.vm.check("vtprobe openqry")
        return int(out[-1].split()[1])

    # -- steps

    def step_start(self, args, runs=True):
        self.args = args.split()
        self.angle = 0
        if "-a" in self.args:
            self.angle = int(self.args[self.args.index("-a") + 1])
        self.switching = "-n" not in self.args
        self.ops = []
        self.flips = 1
        self.before = b = self.fb_info()
        log("  glimmer %s on %dx%d %d bpp r%d/%d g%d/%d b%d/%d, virtual height %d, yoffset %d"
            % (args or "(no options)", b["xres"], b["yres"], b["bpp"], *b["red"], *b["green"],
               *b["blue"], b["yres_virtual"], b["yoffset"]))
        self.free_vt = self.openqry()
        self.prev_vt = self.active_vt()
        self.vm.check("rm -f /tmp/g.out /tmp/g.err; cd /; glimmer %s </dev/null >/tmp/g.out 2>/tmp/g.err & "
                      "echo $! >/tmp/g.pid" % " ".join(shlex.quote(a) for a in self.args))
        if not runs:
            return
        self.vm.check("i=0; while [ ! -p /run/glimmer_fifo ] && [ $i -lt 600 ]; do sleep 0.05; "
                      "i=$((i+1)); done; [ -p /run/glimmer_fifo ]")

    def step_fifo(self, text, ops):
        self.vm.check("printf %s >/run/glimmer_fifo" % printf_literal(text))
        self.ops += ops
        for line in re.split(r"[\n\0]", text):
            if line.lstrip(" ").split(" ")[0] == "QUIT":
                break
            self.flips += 1 if line else 0

    def expected_picture(self, info, name, mode):
        path = os.path.join(self.out_dir, name + ".expected.ppm")
        # Messages go over as the bytes glimmer reads from the FIFO.
        ops = [b"P:%d" % v if k == "P" else b"M:" + v.encode("latin-1") for k, v in self.ops]
        run([self.expect_tool, path, str(info["xres"]), str(info["yres"]), str(info["bpp"]),
             "%d/%d" % info["red"], "%d/%d" % info["green"], "%d/%d" % info["blue"],
             str(self.angle), mode] + ops)
        return read_ppm(path)

    def step_screen(self, name, timeout=30.0):
        """Captures until the screen shows the expected picture or the time is up.
        The FIFO appears before glimmer sets the depth it draws in, so the
        device is read again until the picture matches."""
        mode = self.d["expand"]
        info, want = None, None
        path = os.path.join(self.out_dir, name + ".capture.ppm")
        end = time.monotonic() + timeout
        t0 = time.monotonic()
        while True:
            now = self.fb_info()
            layout = lambda i: i and tuple(i[k] for k in ("xres", "yres", "bpp", "red", "green", "blue"))
            if layout(now) != layout(info) and now["bpp"] in (16, 24, 32):
                info = now
                w, h, want = self.expected_picture(info, name, mode)
            cw, ch, got = self.vm.screendump(path)
            if want is not None and (cw, ch) == (w, h) and got == want:
                break
            if time.monotonic() > end:
                break
            time.sleep(0.05)
        if want is None:
            raise Failure("screen %s: the device stayed at %d bpp" % (name, now["bpp"]))
        self.settle = max(self.settle, time.monotonic() - t0)
        write_png(os.path.join(self.out_dir, name + ".capture.png"), cw, ch, got)
        os.unlink(path)
        problems = []
        if (cw, ch) != (w, h):
            problems.append("capture is %dx%d, the framebuffer %dx%d" % (cw, ch, w, h))
        elif got != want:
            write_png(os.path.join(self.out_dir, name + ".expected.png"), w, h, want)
            count, first = pixel_diff(w, h, want, got)
            problems.append("%d pixels differ from %s.expected.png; first: %s" % (
                count, name, "; ".join("(%d,%d) want %s got %s" % p for p in first)))
        os.unlink(os.path.join(self.out_dir, name + ".expected.ppm"))
        if (cw, ch) == (w, h):
            progress = [v for k, v in self.ops if k == "P"]
            message = [v for k, v in self.ops if k == "M"]
            lengths = (info["red"][1], info["green"][1], info["blue"][1])
            problems += check_layout(Screen(cw, ch, got, self.angle),
                                     progress[-1] if progress else 0,
                                     message[-1] if message else "", lengths, mode,
                                     scene_facts(self.expect_tool))
        if problems:
            raise Failure("screen %s: %s" % (name, "\n  ".join(problems)))

    def step_held(self):
        """glimmer's terminal is on display, in graphics mode and switched by glimmer."""
        active = self.active_vt()
        if active != self.free_vt:
            raise Failure("terminal %d on display, glimmer should hold %d" % (active, self.free_vt))
        out = self.vm.check("vtprobe kdmode %d" % active)[-1]
        if out != "kdmode graphics vtmode process":
            raise Failure("glimmer's terminal %d: %s" % (active, out))

    def step_tty_write(self, text):
        """Text written to glimmer's terminal must not reach the screen."""
        self.vm.check("printf %s >/dev/tty%d" % (printf_literal(text), self.free_vt))

    def step_client(self, args, ops, status=0):
        """Sends a command with the glimmer-write client."""
        rc, out = self.vm.sh("glimmer-write %s" % " ".join(shlex.quote(x) for x in args.split(" ")))
        if rc == 127:
            raise Failure("glimmer-write is not in the guest")
        if rc != status:
            raise Failure("glimmer-write %s: status %d, want %d: %s" % (args, rc, status, out))
        self.ops += ops
        self.flips += 1 if status == 0 and args != "QUIT" else 0

    def step_signal(self, sig):
        self.vm.check("kill -%s $(cat /tmp/g.pid)" % sig)

    def step_chvt(self, n):
        self.vm.check("chvt %d" % n, timeout=60)

    def step_exit(self, status):
        out = self.vm.check("p=$(cat /tmp/g.pid); i=0; while kill -0 $p 2>/dev/null && [ $i -lt 300 ]; "
                            "do sleep 0.1; i=$((i+1)); done; if kill -0 $p 2>/dev/null; then "
                            "kill -9 $p; echo still-running; fi; wait $p; echo status=$?", timeout=90)
        if "still-running" in out:
            raise Failure("glimmer did not end within 30 s")
        got = int(out[-1].split("=")[1])
        if got != status:
            raise Failure("exit status %d, want %d; stderr: %r" % (got, status, self.read_file("/tmp/g.err")))
        self.vm.check("[ ! -e /run/glimmer_fifo ]")

    def step_output(self, stdout, stderr):
        out = self._file_bytes("/tmp/g.out")
        err = self._file_bytes("/tmp/g.err")
        if out != stdout or err != stderr:
            raise Failure("output differs:\n  stdout %r\n  want   %r\n  stderr %r\n  want   %r"
                          % (out, stdout, err, stderr))

    def _file_bytes(self, path):
        out = self.vm.check("od -An -v -tx1 %s" % path)
        hexes = " ".join(out).split()
        return bytes(int(h, 16) for h in hexes).decode("latin-1")

    def step_console(self, active):
        """After glimmer: the display on terminal `active` in text mode with
        automatic switching, glimmer's own terminal freed again."""
        got = self.active_vt()
        if got != active:
            raise Failure("terminal %d on display, want %d" % (got, active))
        out = self.vm.check("vtprobe kdmode %d" % active)[-1]
        if out != "kdmode text vtmode auto":
            raise Failure("terminal %d: %s" % (active, out))
        if self.switching:
            # /dev/vcsN exists while terminal N is allocated; the kernel
            # thread that removes the node may lag on a busy host.
            rc, _ = self.vm.sh("i=0; while [ -e /dev/vcs%d ] && [ $i -lt 100 ]; do sleep 0.1; "
                               "i=$((i+1)); done; [ -e /dev/vcs%d ]" % (self.free_vt, self.free_vt))
            if rc == 0:
                raise Failure("glimmer's terminal %d is still allocated" % self.free_vt)
            again = self.openqry()
            if again != self.free_vt:
                raise Failure("first free terminal is %d after glimmer, %d before" % (again, self.free_vt))

    def step_text_screen(self, name, banner):
        """The text console is drawn again: mostly black, not the white scene,
        with terminal 1's banner line at the top exactly when terminal 1 is
        on display."""
        path = os.path.join(self.out_dir, name + ".capture.ppm")
        end = time.monotonic() + 20
        while True:
            w, h, px = self.vm.screendump(path)
            share = black_share(px)
            if share > 0.9 or time.monotonic() > end:
                break
            time.sleep(0.1)
        write_png(os.path.join(self.out_dir, name + ".capture.png"), w, h, px)
        os.unlink(path)
        if share <= 0.9:
            raise Failure("screen %s: only %.0f%% black, the text console is not back" % (name, 100 * share))
        top = px[:w * 3 * 16]
        lit = len(top) // 3 - sum(1 for i in range(0, len(top), 3) if top[i:i + 3] == b"\x00\x00\x00")
        # The banner lights several hundred pixels, a cursor a few dozen.
        if banner and lit < 150:
            raise Failure("screen %s: terminal 1's banner is not on the screen" % name)
        if not banner and lit > 40:
            raise Failure("screen %s: %d lit pixels at the top of an empty terminal" % (name, lit))

    def step_pan(self, ended=False):
        """The pan position while glimmer runs follows the number of flips;
        once it has ended, the first page is on display again."""
        info = self.fb_info()
        want = self.before["yoffset"]
        for _ in range(self.flips):
            want = 0 if want else info["yres"]
        if ended:
            want = 0
        if info["yoffset"] != want:
            raise Failure("yoffset %d after %d flips from %d, want %d"
                          % (info["yoffset"], self.flips, self.before["yoffset"], want))

    def step_mode(self, bpp, yres_virtual):
        info = self.fb_info()
        if (info["bpp"], info["yres_virtual"]) != (bpp, yres_virtual):
            raise Failure("device at %d bpp, virtual height %d; want %d and %d"
                          % (info["bpp"], info["yres_virtual"], bpp, yres_virtual))

    def step_timing(self, label, args, runs=5):
        """Starts a floor program (label "floor ...": the fbdev floor; "drm
        floor": the DRM one) or glimmer RUNS times with the start-up probe.
        The probe must see every run reach its wait for commands, wait again
        after a command (glimmer only: the floors end on any line) and end
        with status 0; the times are reported, not judged."""
        floor = "run --no-command --changes %d /run/floor_fifo /bin/startprobe %s /run/floor_fifo"
        if label.startswith("floor"):
            cmd = floor % (runs, "floor")
        elif label.startswith("drm floor"):
            cmd = floor % (runs, "drmfloor")
        else:
            cmd = "run --changes %d /run/glimmer_fifo /bin/glimmer %s" % (runs, args)
        if not self.timings:
            self.probe_cost = " ".join(self.vm.check("startprobe cost")[-1].split()[2:])
            model = self.vm.check("dmesg | grep -o 'Dynamic Preempt: [a-z]*' || true")
            self.preemption = model[-1] if model else "preemption as built"
        # The report goes to a file and is shown after the runs: lines on the
        # serial console while a run is timed would take the guest's processor.
        rc, out = self.vm.sh("cd / && startprobe %s </dev/null >/tmp/t.out 2>/tmp/t.err; s=$?; "
                             "cat /tmp/t.out; (exit $s)" % cmd, timeout=60 + 30 * runs)
        got = []
        number = lambda v: None if v == "-" else float(v)
        for l in out:
            if re.match(r"probe run \d+ never-waited", l):
                raise Failure("%s: %s; stderr: %r" % (label, l, self.read_file("/tmp/t.err")))
            m = re.match(r"probe run (\d+) drawn_ms (\S+) frame_ms (\S+) settled_ms (\S+) "
                         r"start_ms ([\d.]+) command_ms (\S+) exit_ms ([\d.]+) status (\d+) "
                         r"probe_cpu_ms ([\d.]+)", l)
            if m:
                g = m.groups()
                if int(g[7]) != 0:
                    raise Failure("%s run %s ended with status %s" % (label, g[0], g[7]))
                got.append({"drawn": number(g[1]), "frame": number(g[2]), "settled": number(g[3]),
                            "wait": float(g[4]), "command": number(g[5]), "exit": float(g[6]),
                            "probe": float(g[8])})
        if rc != 0 or len(got) != runs:
            raise Failure("%s: the probe ended with %d and timed %d of %d runs: %s; stderr: %r"
                          % (label, rc, len(got), runs, out[-4:], self.read_file("/tmp/t.err")))
        self.timings.append((label, got))
        # The screen's changes per run, for a closer look at a figure.
        changes = self.vm.check("grep '^probe change' /tmp/t.err || true")
        if changes:
            with open(os.path.join(self.out_dir, "timing-%s.changes.txt" % self.display_name),
                      "a") as f:
                f.write("".join("%s: %s\n" % (label, l) for l in changes))
        if "floor" not in label:
            self.report_timings()

    def report_timings(self):
        """The table so far, in the log and in OUT/timing-DISPLAY.txt."""
        def med(v):
            v = sorted(x for x in v if x is not None)
            if not v:
                return None
            return v[len(v) // 2] if len(v) % 2 else (v[len(v) // 2 - 1] + v[len(v) // 2]) / 2

        fmt = lambda v: "-" if v is None else "%.2f" % v
        ratio = lambda a, b: "%.2f" % (a / b) if a is not None and b else "-"
        # Frames where the display is sampled (/dev/fb0); else the first wait.
        sampled = any(r["frame"] is not None for _, t in self.timings for r in t)
        basis = "frame" if sampled else "wait"
        lines = [
            "%s, ms from execve; columns ending in 1: the first run, others: medians of"
            % self.display_name,
            "  runs 2.. (drawn, frame, settled, wait) or of all runs.",
            "  drawn: the page on display first changes; frame: it first shows the picture it",
            "  shows at the first wait; settled: its last change before that wait%s;"
            % ("" if sampled else " (fbdev only: no /dev/fb0 here)"),
            "  wait: first wait for commands; command: PROGRESS 50 read and waiting again;",
            "  exit: QUIT to end; probe: the probe's processor time over the start (wait);",
            "  ratios of %s to the floor's. Kernel: %s. Probe alone: %s"
            % (basis, getattr(self, "preemption", "-"), getattr(self, "probe_cost", "-")),
            "%-18s %7s %7s %7s %7s %7s %7s %7s %7s %7s %5s %7s %7s" % (
                "program", "drawn1", "frame1", "wait1", "drawn", "frame", "settled", "wait",
                "command", "exit", "probe", basis[0] + "1/fl", basis[0] + "/fl")]
        floor = None  # each program is compared with the floor timed last before it
        for label, t in self.timings:
            if "floor" in label:
                floor = t
            later = lambda key: med(r[key] for r in t[1:])
            share = med(r["probe"] / r["wait"] for r in t if r["wait"] > 0)
            lines.append("%-18s %7s %7s %7s %7s %7s %7s %7s %7s %7s %4.0f%% %7s %7s" % (
                label, fmt(t[0]["drawn"]), fmt(t[0]["frame"]), fmt(t[0]["wait"]),
                fmt(later("drawn")), fmt(later("frame")), fmt(later("settled")), fmt(later("wait")),
                fmt(med(r["command"] for r in t)), fmt(med(r["exit"] for r in t)),
                100 * (share or 0),
                ratio(t[0][basis], floor[0][basis]) if floor else "-",
                ratio(later(basis), med(r[basis] for r in floor[1:])) if floor else "-"))
        with open(os.path.join(self.out_dir, "timing-%s.txt" % self.display_name), "w") as f:
            f.write("\n".join(lines) + "\n")
        for l in lines:
            log("  " + l)

    def step_sh(self, line, status=0):
        rc, out = self.vm.sh(line)
        if rc != status:
            raise Failure("%r: status %d, want %d: %s" % (line, rc, status, out))

    def journal(self, text):
        """One line in DISPLAY.steps.log, written at once: if the whole run
        is killed (a test timeout), the last line names the step it was in."""
        with open(os.path.join(self.out_dir, self.display_name + ".steps.log"), "a") as f:
            f.write("%7.1f s  %s\n" % (time.monotonic() - self.t_start, text))

    def record_failure(self, name, step, why):
        """DISPLAY-SCENARIO.failed.txt: the failing step and why, which boot's
        serial log to read, and what the guest shows and says at that moment."""
        base = os.path.join(self.out_dir, "%s-%s" % (self.display_name, name))
        lines = ["scenario %s/%s" % (self.display_name, name), "failed step: %s" % step,
                 "reason: %s" % why]
        if self.vm:
            lines.append("serial log: %s (boot %d)" % (self.vm.log_name, self.boots))
            alive = self.vm.proc.poll() is None
            lines.append("QEMU: %s" % ("running" if alive else "ended with %s" % self.vm.proc.returncode))
            if alive and self.vm.qmp:
                try:
                    w, h, px = self.vm.screendump(base + ".at-failure.ppm")
                    write_png(base + ".at-failure.png", w, h, px)
                    os.unlink(base + ".at-failure.ppm")
                    lines.append("screen at the failure: %s" % os.path.basename(base + ".at-failure.png"))
                    for what, cmd in (("glimmer's stderr", "cat /tmp/g.err"),
                                      ("kernel messages", "dmesg | tail -n 20")):
                        rc, out = self.vm.sh(cmd, timeout=20)
                        lines += ["%s:" % what] + ["  " + l for l in out]
                except Exception as e:  # the guest may be past answering
                    lines.append("no more from the guest: %s" % e)
        with open(base + ".failed.txt", "w") as f:
            f.write("\n".join(lines) + "\n")

    def scenario(self, name, steps):
        if self.only and name not in self.only:
            return True
        t0 = time.monotonic()
        self.settle = 0.0
        step = "boot"
        self.journal("scenario %s" % name)
        try:
            if not self.vm:
                self.journal("  boot %d" % (self.boots + 1))
                self.boot()
            for i, (kind, *args) in enumerate(steps):
                step = "%d %s %s" % (i + 1, kind, " ".join(repr(a) for a in args))
                self.journal("  step " + step)
                args = tuple(args)
                if kind in ("screen", "text_screen"):
                    args = ("%s-%s-%s" % (self.display_name, name, args[0]),) + args[1:]
                getattr(self, "step_" + kind)(*args)
            ok, why = True, ""
        except Exception as e:  # a lost QEMU may surface as OSError or ValueError
            ok, why = False, str(e) if isinstance(e, Failure) else "%s: %s" % (type(e).__name__, e)
        dt = time.monotonic() - t0
        full = self.display_name + "/" + name
        self.results.append((full, ok, dt, why))
        self.journal("  %s after %.1f s" % ("passed" if ok else "FAILED in step %s: %s" % (step, why), dt))
        log("%s %-40s %5.1f s (slowest screen %.2f s)%s" % (
            "PASS" if ok else "FAIL", full, dt, self.settle,
            "" if ok else "\n  step %s\n  %s" % (step, why)))
        if not ok:
            self.record_failure(name, step, why)
            self.close()
        return ok


# Wider than every screen here: it starts left of the screen and is cut on
# both sides.
LONG_MESSAGE = " ".join("word%d" % i for i in range(40))


def sequence_steps(prefix=""):
    """PROGRESS and MSG commands, a capture after each."""
    cmds = [("PROGRESS 10\n", [("P", 10)]),
            ("MSG Loading the system\n", [("M", "Loading the system")]),
            ("PROGRESS 50\n", [("P", 50)]),
            ("MSG Almost there...\n", [("M", "Almost there...")]),
            ("PROGRESS -33\n", [("P", -33)]),
            ("MSG ok\nPROGRESS 100\n", [("M", "ok"), ("P", 100)]),
            ("MSG\n", []),
            ("PROGRESS 1\n", [("P", 1)]),
            ("MSG %s\n" % LONG_MESSAGE, [("M", LONG_MESSAGE)]),
            ("MSG caf\xe9 cr\xe8me \xfc\n", [("M", "caf\xe9 cr\xe8me \xfc")])]
    steps = []
    for i, (text, ops) in enumerate(cmds):
        steps += [("fifo", text, ops), ("screen", "%s%d" % (prefix, i + 1))]
    return steps


# The expected messages of the single-buffered DRM device: the pan test
# succeeds, the request for a second page is refused.
BOCHS_ERR = "FBIOPUT_VSCREENINFO failed, double buffering disabled\n"


def timing_scenario(r, extra=(), floor="floor"):
    """Start-up, command and exit times in a fresh boot, so that the first
    start timed is the first in the boot: the floor, glimmer with a terminal
    of its own, then with -n. The kernel preempts tasks in kernel code
    (preempt=full, where it can choose): a mode set would otherwise keep the
    probe from looking at the screen until it is over."""
    r.close()
    r.kernel_args = ("preempt=full",)
    try:
        r.scenario("timing", [("timing", floor, ""), ("timing", "glimmer", ""),
                              ("timing", "glimmer -n", "-n")] + list(extra))
    finally:
        r.kernel_args = ()


def suite_bochs(r):
    for angle in (0, 90, 180, 270):
        r.scenario("angle%d" % angle, [
            ("start", "-a %d" % angle), ("screen", "scene"), ("held",),
            ("fifo", "PROGRESS 30\nMSG rotated %d\n" % angle, [("P", 30), ("M", "rotated %d" % angle)]),
            ("screen", "cmds"),
            ("fifo", "QUIT\n", []), ("exit", 0), ("output", "", BOCHS_ERR), ("console", 1)])
    r.scenario("sequence", [("start", ""), ("screen", "scene"), ("tty_write", "console text\n"),
                            ("screen", "scene-after-tty-write")] + sequence_steps() +
               [("fifo", "QUIT\n", []), ("exit", 0), ("console", 1), ("text_screen", "after", True)])
    r.scenario("from-terminal-3", [("sh", "chvt 3"), ("start", ""), ("screen", "scene"), ("held",),
                                   ("fifo", "QUIT\n", []), ("exit", 0), ("console", 3),
                                   ("sh", "chvt 1")])
    r.scenario("sigterm", [("start", ""), ("screen", "scene"), ("signal", "TERM"), ("exit", 0),
                           ("output", "", BOCHS_ERR), ("console", 1), ("text_screen", "after", True)])
    r.scenario("sigint", [("start", ""), ("screen", "scene"), ("signal", "INT"), ("exit", 0),
                          ("console", 1)])
    r.scenario("chvt3", [("start", ""), ("screen", "scene"), ("chvt", 3), ("exit", 0),
                         ("console", 3), ("text_screen", "after", False), ("sh", "chvt 1")])
    r.scenario("chvt1", [("start", ""), ("screen", "scene"), ("chvt", 1), ("exit", 0),
                         ("console", 1)])
    if find_client(r.glimmer):
        r.scenario("client", [("start", ""), ("screen", "scene"),
                              ("client", "PROGRESS 42", [("P", 42)]), ("screen", "p42"),
                              ("client", "MSG sent by the client", [("M", "sent by the client")]),
                              ("screen", "msg"), ("client", "QUIT", []), ("exit", 0),
                              ("console", 1), ("client", "PROGRESS 1", [], 2)])
    r.scenario("no-device", [("start", "-f 1", False), ("exit", 255),
                             ("output", "", "Error opening /dev/fb1\nError opening /dev/dri/card1\n"), ("console", 1)])
    r.scenario("no-switch", [("sh", "printf '\\033[?25l' >/dev/tty1"), ("start", "-n"),
                             ("screen", "scene"), ("console", 1),
                             ("fifo", "PROGRESS 75\nMSG no terminal switch\n",
                              [("P", 75), ("M", "no terminal switch")]),
                             ("screen", "cmds"), ("fifo", "QUIT\n", []), ("exit", 0),
                             ("output", "", BOCHS_ERR), ("console", 1)])
    timing_scenario(r)


def suite_cirrus(r):
    vsync = "Error, FB vsync ioctl [-1]\n"
    fallback = ("Error, no support currently for 8 bpp frame buffers\n"
                "Trying to change pixel format...\n"
                "Error, failed to switch to a 32 bpp 8,8,8 frame buffer\n")
    switched = "Switched to a 16 bpp 5,6,5 frame buffer\n"
    seq = sequence_steps()
    flips = 1 + sum(1 for s in seq if s[0] == "fifo" for l in s[1].split("\n") if l)
    # The pan position is read while glimmer runs: once the console has its
    # terminal back, it sets its own mode again.
    r.scenario("fallback-sequence", [
        ("start", ""), ("screen", "scene"), ("held",), ("pan",)] + seq + [("pan",),
        ("fifo", "QUIT\n", []), ("exit", 0),
        ("output", switched + "to back\n", fallback + vsync * flips),
        ("console", 1), ("mode", 8, 480)])
    r.scenario("second-run-270", [
        ("start", "-a 270"), ("screen", "scene"),
        ("fifo", "PROGRESS 40\n", [("P", 40)]), ("screen", "p40"),
        ("fifo", "MSG second run\n", [("M", "second run")]), ("screen", "msg"),
        ("fifo", "PROGRESS 60\n", [("P", 60)]), ("screen", "p60"), ("pan",),
        ("signal", "TERM"), ("exit", 0),
        ("output", switched + "to back\n", fallback + vsync * 4), ("console", 1), ("mode", 8, 480)])
    # Without a terminal switch nothing gives the console its mode back: the
    # next run finds 16 bits and two pages. glimmer shows the first page
    # again as it ends, where the console draws; a run that starts with the
    # second page on display draws into the first.
    hide_cursor = ("sh", "printf '\\033[?25l' >/dev/tty1")
    r.scenario("no-switch-first", [
        hide_cursor, ("start", "-n"), ("screen", "scene"), ("pan",), ("fifo", "QUIT\n", []),
        ("exit", 0), ("output", switched + "to back\n", fallback + vsync), ("mode", 16, 960),
        ("pan", True)])
    r.scenario("no-switch-to-front", [
        ("sh", "vtprobe pan 480"), ("start", "-n"), ("screen", "scene")] + seq[:2] + [("pan",)] +
        seq[2:6] + [("pan",), ("fifo", "QUIT\n", []),
        ("exit", 0), ("output", "to front\n", vsync * 4), ("mode", 16, 960), ("pan", True)])
    # The same at 24 bits, set before the runs without a terminal switch.
    timing_scenario(r, [("sh", "vtprobe depth 24"), ("timing", "floor 24 bpp", ""),
                        ("timing", "glimmer -n 24 bpp", "-n")])


def suite_bochs_pan(r):
    """The DRM device with room for two pages: pans are accepted."""
    seq = sequence_steps()
    r.scenario("two-pages", [("start", ""), ("screen", "scene"), ("held",)] + seq +
               [("fifo", "QUIT\n", []), ("exit", 0), ("output", "to back\n", ""), ("pan", True),
                ("console", 1)])


VESA_ERR = "FBIOPAN_DISPLAY not supported, double buffering disabled\n"


def suite_vesa(r):
    r.scenario("scene24", [
        ("start", ""), ("screen", "scene"), ("held",),
        ("fifo", "PROGRESS 66\nMSG twenty-four bits\n", [("P", 66), ("M", "twenty-four bits")]),
        ("screen", "cmds"), ("fifo", "QUIT\n", []), ("exit", 0), ("output", "", VESA_ERR),
        ("console", 1)])
    timing_scenario(r)


ARM_ERR = "FBIOPAN_DISPLAY not supported, double buffering disabled\n"


def suite_arm(r):
    r.scenario("scene", [("start", ""), ("screen", "scene"), ("held",)] + sequence_steps() +
               [("fifo", "QUIT\n", []), ("exit", 0), ("output", "", ARM_ERR), ("console", 1),
                ("text_screen", "after", True)])
    r.scenario("depth16", [("sh", "vtprobe depth 16"), ("start", ""), ("screen", "scene"), ("held",)] +
               sequence_steps() + [("fifo", "QUIT\n", []), ("exit", 0), ("output", "", ARM_ERR),
                                   ("console", 1), ("sh", "vtprobe depth 32")])
    r.scenario("angle90", [("start", "-a 90"), ("screen", "scene"),
                           ("fifo", "PROGRESS 20\nMSG arm\n", [("P", 20), ("M", "arm")]),
                           ("screen", "cmds"), ("chvt", 3), ("exit", 0), ("console", 3),
                           ("sh", "chvt 1")])
    timing_scenario(r)


# ---------------------------------------------------------------- DRM/KMS

# Pixel layouts of the DRM formats glimmer draws: bits per pixel and the
# offset/length of red, green and blue.
DRM_FORMATS = {"XRGB8888": (32, ((16, 8), (8, 8), (0, 8))),
               "RGB565": (16, ((11, 5), (5, 6), (0, 5)))}

# Times from starting glimmer to the first capture showing its scene.
FIRST_FRAMES = []


def build_drmprobe(out_dir, cross):
    """drmprobe for the guest, static with libdrm.a; None without libdrm."""
    exe = os.path.join(out_dir, "drmprobe-arm" if cross else "drmprobe-x86")
    cc = "arm-linux-gnueabihf-gcc" if cross else "gcc"
    r = run([cc, "-static", "-O2", "-Wall", "-Wextra", "-Werror", "-I/usr/include/libdrm", "-o", exe,
             os.path.join(HERE, "drmprobe.c"), "-ldrm"], check=False)
    return exe if r.returncode == 0 else None


class DrmVm(Vm):
    """A VM whose captures can name the display device and its head."""
    head = None  # (QEMU device id, head number), or None for the first console

    def screendump(self, path):
        if self.head is None:
            return Vm.screendump(self, path)
        self._qmp("screendump", filename=path, device=self.head[0], head=self.head[1])
        return read_ppm(path)


class DrmRunner(Runner):
    """Scenarios on a DRM card. With fbdev emulation off there is no
    /dev/fb0 to report the geometry: each head's mode and format come from
    the display's description ("heads") and are proven by the captures."""

    head = 0

    def fb_info(self):
        if "heads" not in self.d:
            return Runner.fb_info(self)
        w, h, fmt = self.d["heads"][self.head]
        bpp, (red, green, blue) = DRM_FORMATS[fmt]
        return {"xres": w, "yres": h, "yres_virtual": h, "bpp": bpp, "red": red, "green": green,
                "blue": blue, "yoffset": 0, "line_length": w * bpp // 8,
                "smem_len": w * h * bpp // 8, "id": "DRM head %d %s" % (self.head, fmt)}

    def scenario(self, name, steps):
        self.scenario_name = name
        return Runner.scenario(self, name, steps)

    def step_start(self, args, runs=True):
        self.glimmer_started = time.monotonic()
        Runner.step_start(self, args, runs)

    def step_head(self, name, head):
        """Captures head `head` of the display device."""
        self.head = head
        self.vm.head = (self.d["device"], head)
        try:
            self.step_screen("%s-%s-%s" % (self.display_name, self.scenario_name, name))
        finally:
            self.head = 0
            self.vm.head = None

    def step_drmprobe(self):
        """What the card answers, kept next to the captures for comparison
        with the emulation's model of the device."""
        rc, out = self.vm.sh("drmprobe")
        if rc == 127:
            return
        with open(os.path.join(self.out_dir, self.display_name + ".drmprobe.txt"), "w") as f:
            f.write("\n".join(out) + "\n")
        if rc != 0:
            raise Failure("drmprobe failed with %d: %s" % (rc, out[-3:]))

    def step_angle(self, angle):
        """The angle glimmer chooses by itself (panel orientation)."""
        self.angle = angle

    def step_console_edge(self, name, edge):
        """The kernel's own text console, turned for the panel orientation:
        terminal 1's first line runs along `edge` of the capture."""
        path = os.path.join(self.out_dir, "%s-%s.capture.ppm" % (self.display_name, name))
        w, h, px = self.vm.screendump(path)
        write_png(path[:-4] + ".png", w, h, px)
        os.unlink(path)
        lit = lambda x, y: px[(y * w + x) * 3:(y * w + x) * 3 + 3] != b"\x00\x00\x00"
        band = 20
        counts = {"top": sum(lit(x, y) for y in range(band) for x in range(w)),
                  "bottom": sum(lit(x, y) for y in range(h - band, h) for x in range(w)),
                  "left": sum(lit(x, y) for x in range(band) for y in range(h)),
                  "right": sum(lit(x, y) for x in range(w - band, w) for y in range(h))}
        got = max(counts, key=counts.get)
        if got != edge:
            raise Failure("console text along the %s edge, want %s: lit pixels %s" % (got, edge, counts))

    def step_first(self, name):
        """The initial scene, timed from glimmer's start to the first capture
        that shows it exactly."""
        info = self.fb_info()
        w, h, want = self.expected_picture(info, name, self.d["expand"])
        path = os.path.join(self.out_dir, name + ".first.ppm")
        end = self.glimmer_started + 30
        while True:
            cw, ch, got = self.vm.screendump(path)
            if (cw, ch) == (w, h) and got == want:
                break
            if time.monotonic() > end:
                raise Failure("no exact initial scene within 30 s of the start")
        dt = time.monotonic() - self.glimmer_started
        os.unlink(path)
        os.unlink(os.path.join(self.out_dir, name + ".expected.ppm"))
        FIRST_FRAMES.append((self.display_name, " ".join(self.args) or "(no options)", dt))
        log("  first exact capture %.2f s after the start (glimmer %s)" % (dt, " ".join(self.args)))


def drm_heads(steps, heads):
    """Each capture of `steps` taken of every head instead."""
    out = []
    for step in steps:
        if step[0] == "screen" and heads > 1:
            out += [("head", "%s-h%d" % (step[1], n), n) for n in range(heads)]
        else:
            out.append(step)
    return out


def suite_drm(r, heads=1):
    """The card without fbdev emulation: no /dev/fb0, so glimmer takes the
    card by itself; the sequence, QUIT, SIGTERM and a terminal switch."""
    quiet = ("output", "", "")
    r.scenario("sequence", drm_heads([("start", ""), ("first", "first"), ("screen", "scene"),
                                      ("held",)] + sequence_steps() +
                                     [("fifo", "QUIT\n", []), ("exit", 0), quiet, ("console", 1)],
                                     heads))
    r.scenario("sigterm", drm_heads([("start", "-d"), ("screen", "scene"),
                                     ("fifo", "PROGRESS 30\nMSG terminated\n",
                                      [("P", 30), ("M", "terminated")]), ("screen", "cmds"),
                                     ("signal", "TERM"), ("exit", 0), quiet, ("console", 1)], heads))
    r.scenario("chvt3", drm_heads([("start", "-a 90"), ("screen", "scene"),
                                   ("fifo", "PROGRESS 70\nMSG switched away\n",
                                    [("P", 70), ("M", "switched away")]), ("screen", "cmds"),
                                   ("chvt", 3), ("exit", 0), quiet, ("console", 3),
                                   ("sh", "chvt 1")], heads))
    # A second program on the card is refused, and the first one's picture stays.
    r.scenario("second-master", drm_heads([
        ("start", "-a 180"), ("screen", "scene"),
        ("sh", "GLIMMER_FIFO_DIR=/tmp glimmer -n -d >/tmp/g2.out 2>&1; [ $? = 255 ] && "
               "grep -q 'Error, another program controls /dev/dri/card0' /tmp/g2.out"),
        ("fifo", "PROGRESS 5\n", [("P", 5)]), ("screen", "after-refusal"),
        ("fifo", "QUIT\n", []), ("exit", 0), quiet, ("console", 1)], heads))
    r.scenario("no-device", [("start", "-f 1", False), ("exit", 255),
                             ("output", "", "Error opening /dev/fb1\nError opening /dev/dri/card1\n"),
                             ("console", 1)])
    # It leaves the CRTC off.
    r.scenario("drmprobe", [("drmprobe",)])
    # The DRM floor shows its buffer on the first head only.
    timing_scenario(r, floor="drm floor")


def suite_drm_fbdev_on(r):
    """bochs with fbdev emulation on: the start-up times of both outputs,
    and the console's picture back after the DRM output."""
    r.scenario("fbdev-first", [("start", ""), ("first", "first"), ("fifo", "QUIT\n", []),
                               ("exit", 0), ("console", 1)])
    r.scenario("drm-first", [("start", "-d"), ("first", "first"), ("held",)] + sequence_steps()[:4] +
               [("fifo", "QUIT\n", []), ("exit", 0), ("output", "", ""), ("console", 1),
                ("text_screen", "after", True)])


def suite_drm_panel(r):
    """A panel mounted with its left side up (video=Virtual-1:panel_orientation=
    left_side_up): the kernel turns its own text console for it, and glimmer,
    without -a, turns its scene the same way; -a still decides when given."""
    r.scenario("kernel-console", [("console_edge", "console", "left")])
    r.scenario("panel", [("start", "-d"), ("angle", 90), ("screen", "scene"), ("held",),
                         ("fifo", "PROGRESS 60\nMSG upright\n", [("P", 60), ("M", "upright")]),
                         ("screen", "cmds"), ("fifo", "QUIT\n", []), ("exit", 0),
                         ("output", "", ""), ("console", 1)])
    r.scenario("angle-given", [("start", "-d -a 0"), ("screen", "scene"), ("fifo", "QUIT\n", []),
                               ("exit", 0), ("console", 1)])


def drm_plans(kx, gx, px, ka, ga, pa, out):
    """The DRM suites: name -> (display name, suite, display, QEMU command)."""
    off = ("drm_kms_helper", "fbdev_emulation=0")
    card = "/dev/dri/card0"
    xrgb = {"expand": "replicate", "heads": [(1280, 800, "XRGB8888")]}

    def x86(name, modules, device_args, display, suite, append="", device=card):
        probe = build_drmprobe(out, False)
        initrd = make_initramfs(kx, modules, gx, px, "ttyS0", os.path.join(out, name + ".cpio.gz"),
                                device, [probe] if probe else [])
        return lambda: (name, suite, display, x86_cmd(kx, initrd, device_args, append))

    def arm(name, modules, device_args):
        probe = build_drmprobe(out, True)
        initrd = make_initramfs(ka, modules, ga, pa, "ttyAMA0", os.path.join(out, name + ".cpio.gz"),
                                card, [probe] if probe else [])
        return lambda: (name, suite_drm, xrgb, [
            # The kernel has no LPAE: PCI's configuration space must lie below 4 GiB.
            "qemu-system-arm", "-M", "virt,highmem=off", "-cpu", "cortex-a15", "-accel", "tcg", "-m", "256",
            "-kernel", ka.image, "-initrd", initrd, "-global", "virtio-mmio.force-legacy=false"] +
            device_args + ["-append", "console=ttyAMA0 loglevel=4 panic=-1"])

    virtio = [("virtio_pci", ""), ("virtio-gpu", ""), off]
    plans = {
        "drm-bochs": lambda: x86("x86-drm-bochs", [("bochs", ""), off],
                                 ["-vga", "none", "-device", "bochs-display"], xrgb, suite_drm)(),
        "drm-bochs-fbdev": lambda: x86("x86-drm-bochs-fbdev", [("bochs", "")],
                                       ["-vga", "none", "-device", "bochs-display"],
                                       {"expand": "replicate"}, suite_drm_fbdev_on,
                                       device="/dev/fb0")(),
        "drm-bochs-panel": lambda: x86("x86-drm-bochs-panel", [("bochs", "")],
                                       ["-vga", "none", "-device", "bochs-display"],
                                       {"expand": "replicate"}, suite_drm_panel,
                                       append="video=Virtual-1:panel_orientation=left_side_up",
                                       device="/dev/fb0")(),
        "drm-virtio": lambda: x86("x86-drm-virtio", virtio,
                                  ["-vga", "none", "-device", "virtio-gpu-pci"], xrgb, suite_drm)(),
        "drm-cirrus": lambda: x86("x86-drm-cirrus", [("cirrus", ""), off], ["-vga", "cirrus"],
                                  {"expand": "replicate", "heads": [(1024, 768, "RGB565")]},
                                  suite_drm)(),
        "drm-virtio-2": lambda: x86(
            "x86-drm-virtio-2", virtio,
            ["-vga", "none", "-device", "virtio-gpu-pci,id=gpu,max_outputs=2,edid=off"],
            {"expand": "replicate", "device": "gpu",
             "heads": [(1280, 800, "XRGB8888"), (1024, 768, "XRGB8888")]},
            lambda r: suite_drm(r, heads=2), append="video=Virtual-2:e")(),
        "drm-arm-virtio": lambda: arm("arm-drm-virtio", [("virtio_mmio", ""), ("virtio-gpu", ""), off],
                                      ["-device", "virtio-gpu-device"])(),
        "drm-arm-bochs": lambda: arm("arm-drm-bochs", [("bochs", ""), off],
                                     ["-device", "bochs-display"])(),
    }
    return plans


DRM_SUITES = ["drm-bochs", "drm-bochs-fbdev", "drm-bochs-panel", "drm-virtio", "drm-cirrus", "drm-virtio-2",
              "drm-arm-virtio", "drm-arm-bochs"]


def x86_cmd(kernel, initrd, display, append, pvh=True):
    # PVH starts the kernel without its real-mode set-up code, which is the
    # code that sets a VESA mode; "vga=" needs the compressed image.
    pvh = pvh and os.path.exists(kernel.vmlinux)
    image = ["-kernel", kernel.vmlinux if pvh else kernel.image]
    # no_timer_check: at boot the kernel gives the timer interrupt a short
    # busy loop to arrive through the IO-APIC and panics ("IO-APIC + timer
    # doesn't work!") when it does not; on a busy host TCG is that slow.
    return (["qemu-system-x86_64", "-M", "pc", "-accel", "tcg", "-m", "384", "-smp", "1"] +
            display + image + ["-initrd", initrd, "-append",
                               "console=ttyS0 loglevel=4 panic=-1 no_timer_check " + append])


SKIP = 77  # the status CTest reads as "skipped"
FAILED_MARK = "FAILED.txt"  # left in the output directory by a failed run


def keep_failed_run(out):
    """Clears the previous run's files from the output directory, except
    after a failure: then they move into failed-TIME/ (the three newest such
    directories are kept), so a later run never wipes what showed the fault."""
    old = [p for p in glob.glob(os.path.join(out, "*")) if os.path.isfile(p)
           and re.search(r"\.(png|ppm|log|txt)$", p)]
    if os.path.exists(os.path.join(out, FAILED_MARK)):
        keep = os.path.join(out, time.strftime("failed-%Y%m%d-%H%M%S"))
        os.makedirs(keep, exist_ok=True)
        for p in old:
            os.rename(p, os.path.join(keep, os.path.basename(p)))
        for stale in sorted(glob.glob(os.path.join(out, "failed-*")))[:-3]:
            shutil.rmtree(stale, ignore_errors=True)
        log("the previous run failed: its files are kept in", keep)
    else:
        for p in old:
            os.unlink(p)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--glimmer-x86", help="static x86-64 glimmer (default: built in --guest-dir)")
    ap.add_argument("--glimmer-arm", help="static ARMv7 glimmer (default: built in --guest-dir)")
    ap.add_argument("--source", default=os.path.dirname(os.path.dirname(HERE)))
    ap.add_argument("--guest-dir", help="where the guest builds go (default: OUT/guest)")
    ap.add_argument("--prepare", action="store_true",
                    help="only fetch the kernels and build the guest programs")
    ap.add_argument("--expect", help="the expect_scene tool")
    ap.add_argument("--cmake-arg", action="append",
                    help="a setting for the guest builds, such as the theme and picture of the "
                    "build that expect_scene comes from (--cmake-arg=-DNAME=VALUE)")
    ap.add_argument("--out", default="vm-out", help="directory for captures and logs")
    ap.add_argument("--suite", action="append",
                    choices=["bochs", "bochs-pan", "cirrus", "vesa", "arm"] + DRM_SUITES,
                    help="run only these (default: all)")
    ap.add_argument("--scenario", action="append",
                    help="run only the scenarios of this name in each suite, such as timing")
    a = ap.parse_args()
    suites = a.suite or ["bochs", "bochs-pan", "cirrus", "vesa", "arm"]
    out = os.path.abspath(a.out)
    guest = os.path.abspath(a.guest_dir or os.path.join(out, "guest"))
    os.makedirs(out, exist_ok=True)
    os.makedirs(guest, exist_ok=True)
    if not a.prepare:
        keep_failed_run(out)
        # Replaced at the end; a run killed on the way (a test timeout) leaves it.
        with open(os.path.join(out, FAILED_MARK), "w") as f:
            f.write("the run did not finish; the last lines of *.steps.log say where it was\n")
    results = []
    t_all = time.monotonic()

    def guest_program(given, build, cross):
        if given:
            return os.path.abspath(given)
        exe = os.path.join(guest, build, "glimmer")
        if a.prepare or not os.path.exists(exe):
            exe = build_guest(a.source, os.path.join(guest, build), cross, a.cmake_arg or [])
        return exe

    def probe(cross):
        exe = os.path.join(guest, "vtprobe-arm" if cross else "vtprobe-x86")
        timer = exe.replace("vtprobe", "startprobe")
        if a.prepare or not os.path.exists(exe) or not os.path.exists(timer):
            exe = build_probe(guest, cross)
            build_probe(guest, cross, "startprobe", BENCH_VM)
        return exe

    lock = None
    try:
        # Test runs in other build trees share the cache: one fetches at a time.
        os.makedirs(CACHE, exist_ok=True)
        lock = open(os.path.join(CACHE, ".lock"), "w")
        fcntl.flock(lock, fcntl.LOCK_EX)
        x86 = any(not s.startswith("arm") and not s.startswith("drm-arm") for s in suites)
        kx = gx = px = ka = ga = pa = None
        if x86:
            kx = fetch_x86()
            gx = guest_program(a.glimmer_x86, "build-x86", False)
            px = probe(False)
        if any(s == "arm" or s.startswith("drm-arm") for s in suites):
            ka = fetch_arm()
            ga = guest_program(a.glimmer_arm, "build-arm", True)
            pa = probe(True)
    except (subprocess.CalledProcessError, OSError, IndexError, Failure) as e:
        # No QEMU, no kernel packages or no cross compiler on this machine.
        log("SKIP: cannot set up the VMs: %s" % e)
        return SKIP
    finally:
        if lock:
            lock.close()
    if a.prepare:
        log("prepared in %.0f s" % (time.monotonic() - t_all))
        return 0
    if not a.expect:
        ap.error("--expect is needed to run scenarios")

    plans = {
        "bochs": lambda: ("x86-bochs", suite_bochs, {"expand": "replicate"}, x86_cmd(
            kx, make_initramfs(kx, [("bochs", "")], gx, px, "ttyS0", os.path.join(out, "x86-bochs.cpio.gz")),
            ["-vga", "none", "-device", "bochs-display"], "")),
        "bochs-pan": lambda: ("x86-bochs-pan", suite_bochs_pan, {"expand": "replicate"}, x86_cmd(
            kx, make_initramfs(kx, [("bochs", ""), ("drm_kms_helper", "drm_fbdev_overalloc=200")], gx, px,
                               "ttyS0", os.path.join(out, "x86-bochs-pan.cpio.gz")),
            ["-vga", "none", "-device", "bochs-display"], "")),
        "cirrus": lambda: ("x86-cirrus", suite_cirrus, {"expand": "replicate"}, x86_cmd(
            kx, make_initramfs(kx, [("cirrusfb", "")], gx, px, "ttyS0", os.path.join(out, "x86-cirrus.cpio.gz")),
            ["-vga", "cirrus"], "")),
        "vesa": lambda: ("x86-vesa", suite_vesa, {"expand": "replicate"}, x86_cmd(
            kx, make_initramfs(kx, [], gx, px, "ttyS0", os.path.join(out, "x86-vesa.cpio.gz")),
            ["-vga", "std"], "vga=0x318", pvh=False)),
        "arm": lambda: ("arm-pl111", suite_arm, {"expand": "shift"}, [
            "qemu-system-arm", "-M", "vexpress-a15", "-cpu", "cortex-a15", "-accel", "tcg", "-m", "256",
            "-kernel", ka.image, "-dtb", ka.dtb, "-initrd",
            make_initramfs(ka, [], ga, pa, "ttyAMA0", os.path.join(out, "arm-pl111.cpio.gz")),
            "-append", "console=ttyAMA0 loglevel=4 panic=-1"]),
    }
    plans.update(drm_plans(kx, gx, px, ka, ga, pa, out))
    for s in suites:
        name, suite, display, cmd = plans[s]()
        if s in DRM_SUITES:
            runner = DrmRunner(lambda boot, k: DrmVm(name, cmd, out, boot, k), display, a.expect,
                               out, results)
        else:
            runner = Runner(lambda boot, k: Vm(name, cmd, out, boot, k), display, a.expect, out,
                            results)
        runner.display_name = name
        runner.only = a.scenario
        runner.t_start = t_all
        runner.glimmer = ga if s == "arm" or s.startswith("drm-arm") else gx
        try:
            suite(runner)
        finally:
            runner.close()
    for display, args, dt in FIRST_FRAMES:
        log("first exact picture on %s, glimmer %s: %.2f s" % (display, args, dt))
    failed = [r for r in results if not r[1]]
    log("%d scenarios, %d failed, %.0f s in all" % (len(results), len(failed), time.monotonic() - t_all))
    for r in failed:
        log("FAILED", r[0])
    if failed or not results:
        with open(os.path.join(out, FAILED_MARK), "w") as f:
            f.write("".join("%s: %s\n" % (r[0], r[3]) for r in failed) or "no scenario ran\n")
        log("captures, serial logs and the failed steps are in", out)
    else:
        os.unlink(os.path.join(out, FAILED_MARK))
    return 1 if failed or not results else 0


if __name__ == "__main__":
    sys.exit(main())
