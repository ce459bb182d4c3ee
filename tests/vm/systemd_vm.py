#!/usr/bin/env python3
"""glimmer on a real systemd boot: Debian 12 under QEMU (TCG, two CPUs).

The root file system is Debian 12 minbase with systemd, built once with
mmdebstrap and cached next to the kernels. --prepare copies it, adds the
kernel's modules, installs glimmer with the project's own install rules
(cmake --install with DESTDIR), enables the installed units with
systemctl --root, adds the test's own units and makes an ext4 image with
mkfs.ext4 -d. A small loader initramfs loads virtio_blk and ext4 (and, when
the display must exist before systemd, the display driver) and switches to
systemd. Every scenario boots that image (changes go to a throw-away
overlay), captures the screen a few times a second from the start, and
drives a root shell on the second serial port; the first serial port is
the kernel's and systemd's console.

  systemd_vm.py --prepare --work W [--source S]
  systemd_vm.py --scenario NAME --work W --expect EXPECT_SCENE [--out OUT]
  systemd_vm.py --summary --work W               guest times of the last runs

Scenarios: early (display driver loaded before systemd), udev (driver loaded
by udev, boot held after /dev/fb0 appears), nodisplay, poweroff (splash up
with the quit unit masked, then poweroff), sigkill (splash killed with
SIGKILL during the boot). OUT keeps the serial logs, the distinct captures
(PNG), a timeline of captures, the journal and, on failure, the failed step.
"""

import argparse
import fcntl
import glob
import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import threading
import time

# The shared harness is imported from the source tree, which stays clean.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import glimmer_vm as vm  # noqa: E402

GUEST = os.path.join(vm.HERE, "systemd")
PACKAGES = ["systemd", "systemd-sysv", "udev", "dbus", "kmod", "libdrm2"]
# Documentation and translations are of no use in the guest; leaving them
# out keeps the image small and quick to make.
DPKG_EXCLUDES = ["/usr/share/doc/*", "/usr/share/man/*", "/usr/share/info/*",
                 "/usr/share/locale/*", "/usr/share/lintian/*"]
ROOT_MODULES = [("virtio_pci", ""), ("virtio_blk", ""), ("crc32c_generic", ""), ("ext4", "")]
DISPLAY_MODULES = [("bochs", "")]
FIFO = "/run/glimmer_fifo"
# no_timer_check: a busy host delays the emulated timer interrupt enough for
# the kernel's boot-time check to panic.
CMDLINE = "console=ttyS0 rw loglevel=4 panic=-1 systemd.show_status=1 no_timer_check"
# How long the test unit holds the boot after /dev/fb0 appears, standing in
# for a real system's later services: the splash must come within it. The
# delay itself (about 0.6-0.9 s on a quiet host, more under load) is
# reported, not judged: speed is measured, not asserted.
UDEV_HOLD = 4


def log(*args):
    vm.log(*args)


# ---------------------------------------------------------------- the root

def root_cache():
    """The cached Debian root for this package list, built when missing.
    Callers hold the cache lock."""
    key = hashlib.sha256(" ".join(PACKAGES + DPKG_EXCLUDES).encode()).hexdigest()[:12]
    path = os.path.join(vm.CACHE, "debian12-systemd-" + key)
    if os.path.exists(os.path.join(path, "sbin/init")):
        return path
    tmp = path + ".tmp"
    args = ["mmdebstrap", "--variant=minbase", "--include=" + ",".join(PACKAGES)]
    args += ["--dpkgopt=path-exclude=" + p for p in DPKG_EXCLUDES]
    args += ["bookworm", tmp]
    # The archive this machine reaches is the one apt uses: mmdebstrap
    # takes the mirrors from the host's sources when none is given.
    for attempt in range(3):
        shutil.rmtree(tmp, ignore_errors=True)
        log("building the Debian root (mmdebstrap, attempt %d)" % (attempt + 1))
        t0 = time.monotonic()
        r = vm.run(args, check=False, capture_output=True, text=True)
        if r.returncode == 0:
            break
        log(r.stderr[-2000:])
        if attempt < 2:
            # An archive in the middle of a sync answers again a little later.
            time.sleep(20)
    else:
        raise vm.Failure("mmdebstrap failed three times (output above)")
    os.rename(tmp, path)
    for old in glob.glob(os.path.join(vm.CACHE, "debian12-systemd-*")):
        if old != path:
            shutil.rmtree(old, ignore_errors=True)
    size = vm.run(["du", "-sm", path], capture_output=True, text=True).stdout.split()[0]
    log("Debian root: %s MB in %.0f s" % (size, time.monotonic() - t0))
    return path


def build_glimmer(source, build):
    """A host build installed as a distribution would: prefix /usr."""
    step("configure", ["cmake", "-S", source, "-B", build, "-DGLIMMER_TESTS=OFF", "-DGLIMMER_WERROR=ON",
                       "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_INSTALL_PREFIX=/usr"])
    step("build", ["cmake", "--build", build, "-j2"])


def step(what, cmd, **kw):
    """Runs one step of making the image; a failure names the step."""
    r = vm.run(cmd, check=False, capture_output=True, text=True, **kw)
    if r.returncode != 0:
        raise vm.Failure("%s: %s exited %d:\n%s%s" % (what, " ".join(cmd), r.returncode,
                                                      r.stdout[-1500:], r.stderr[-1500:]))
    return r.stdout


def install_glimmer(build, root):
    """cmake --install into the root, then enables every installed unit
    that has an [Install] section, as a distribution's packaging does."""
    step("install", ["cmake", "--install", build, "--prefix", "/usr", "--strip"],
         env=dict(os.environ, DESTDIR=root))
    with open(os.path.join(build, "install_manifest.txt")) as f:
        # Paths in the root, whether or not CMake wrote them with DESTDIR.
        installed = [p[len(root):] if p.startswith(root + "/") else p for p in f.read().split()]
    units = []
    for path in installed:
        name = os.path.basename(path)
        if "/systemd/system/" not in path or "@" in name:
            continue
        if re.search(r"^\[Install\]", open(root + path).read(), re.M):
            units.append(name)
    log("installed:", " ".join(installed))
    if not units:
        raise vm.Failure("install: no systemd unit with an [Install] section was installed")
    step("enable", ["systemctl", "--root=" + root, "enable"] + units)
    log("enabled:", " ".join(units))
    return installed


def add_test_files(root, probe):
    lib = os.path.join(root, "usr/local/lib/glimmer-test")
    os.makedirs(lib, exist_ok=True)
    for script in ("shell.sh", "hold.sh", "wait-until.sh"):
        shutil.copy(os.path.join(GUEST, script), lib)
        os.chmod(os.path.join(lib, script), 0o755)
    shutil.copy(probe, os.path.join(root, "usr/local/bin/vtprobe"))
    units = ["glimmer-test-shell.service", "glimmer-test-hold.service", "glimmer-test-gate.service"]
    for unit in units:
        shutil.copy(os.path.join(GUEST, unit), os.path.join(root, "etc/systemd/system", unit))
    step("enable the test units", ["systemctl", "--root=" + root, "enable"] + units)


def add_modules(kernel, root):
    """The loader's modules and the display driver, for udev to load."""
    dest = os.path.join(root, "usr/lib/modules", kernel.version)
    for m in kernel.load_order([n for n, _ in ROOT_MODULES + DISPLAY_MODULES]):
        os.makedirs(os.path.dirname(os.path.join(dest, m)), exist_ok=True)
        shutil.copy(os.path.join(kernel.moddir, m), os.path.join(dest, m))
    step("depmod", ["chroot", root, "depmod", kernel.version])


def make_image(root, path):
    mb = int(vm.run(["du", "-sm", root], capture_output=True, text=True).stdout.split()[0])
    if os.path.exists(path):
        os.unlink(path)
    step("mkfs.ext4", ["mkfs.ext4", "-q", "-F", "-L", "root", "-d", root, path,
                       "%dM" % (mb * 3 // 2 + 64)])


def make_loader(kernel, modules, path):
    stage = path + ".d"
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(os.path.join(stage, "bin"))
    shutil.copy(kernel.busybox, os.path.join(stage, "bin/busybox"))
    shutil.copy(os.path.join(GUEST, "loader_init.sh"), os.path.join(stage, "init"))
    os.chmod(os.path.join(stage, "init"), 0o755)
    vm.stage_modules(kernel, modules, stage)
    vm.pack_initramfs(stage, path)
    shutil.rmtree(stage)


def prepare(source, work):
    t0 = time.monotonic()
    stale = os.path.join(work, "kernel.json")
    if os.path.exists(stale):
        os.unlink(stale)
    os.makedirs(vm.CACHE, exist_ok=True)
    with open(os.path.join(vm.CACHE, ".lock"), "w") as lock:
        # Test runs in other build trees share the cache: one builds at a time.
        fcntl.flock(lock, fcntl.LOCK_EX)
        vm.ensure_host_packages({"mmdebstrap": "mmdebstrap", "mkfs.ext4": "e2fsprogs"})
        kernel = vm.fetch_x86()
        cached = root_cache()
    t_cache = time.monotonic()
    build = os.path.join(work, "build")
    build_glimmer(source, build)
    probe = vm.build_probe(work, False)
    root = os.path.join(work, "root")
    shutil.rmtree(root, ignore_errors=True)
    step("copy the cached root", ["cp", "-a", "--reflink=auto", cached, root])
    with open(os.path.join(root, "etc/machine-id"), "w") as f:
        # A fixed identity: an empty one would make every boot a first boot.
        f.write(hashlib.md5(b"glimmer-test").hexdigest() + "\n")
    add_modules(kernel, root)
    install_glimmer(build, root)
    add_test_files(root, probe)
    make_image(root, os.path.join(work, "root.ext4"))
    shutil.rmtree(root)
    make_loader(kernel, ROOT_MODULES, os.path.join(work, "loader.cpio.gz"))
    make_loader(kernel, ROOT_MODULES + DISPLAY_MODULES, os.path.join(work, "loader-fb.cpio.gz"))
    with open(os.path.join(work, "kernel.json"), "w") as f:
        json.dump({"vmlinux": kernel.vmlinux, "version": kernel.version}, f)
    log("prepared in %.0f s (cache %.0f s)" % (time.monotonic() - t0, t_cache - t0))


# ---------------------------------------------------------------- captures

def digest(w, h, px):
    return hashlib.sha1(px).digest() + b"%dx%d" % (w, h)


class Capturer(threading.Thread):
    """Takes a screen capture every period seconds until stopped or QEMU
    ends; keeps each distinct picture once and a timeline of (host time
    since QEMU started, picture index)."""

    def __init__(self, machine, path, period=0.2):
        super().__init__(daemon=True)
        self.machine, self.path, self.period = machine, path, period
        self.frames, self.index, self.timeline = [], {}, []
        self.halt = threading.Event()
        self.lock = threading.Lock()

    def run(self):
        while not self.halt.is_set():
            t = time.monotonic()
            try:
                w, h, px = self.machine.screendump(self.path)
            except (vm.Failure, OSError, ValueError):
                if self.machine.proc.poll() is not None:
                    return
                w = None
            if w:
                key = digest(w, h, px)
                with self.lock:
                    if key not in self.index:
                        self.index[key] = len(self.frames)
                        self.frames.append((w, h, px))
                    self.timeline.append((t - self.machine.t0, self.index[key]))
            self.halt.wait(max(0.0, self.period - (time.monotonic() - t)))

    def stop(self):
        self.halt.set()
        self.join()
        if os.path.exists(self.path):
            os.unlink(self.path)

    def latest(self):
        with self.lock:
            return self.frames[self.timeline[-1][1]] if self.timeline else None


class Pictures:
    """Names the captured pictures: the splash at a progress value (pixel
    for pixel, as expect_scene draws it), a text console, or something else.
    The bar's pixels, where the pictures for 0 and 100 differ, give each
    capture's likely values; only those are drawn and compared."""

    def __init__(self, expect, info, out):
        self.path = os.path.join(out, "expected.ppm")
        self.args = [expect, self.path, str(info["xres"]), str(info["yres"]), str(info["bpp"]),
                     "%d/%d" % info["red"], "%d/%d" % info["green"], "%d/%d" % info["blue"], "0",
                     "replicate"]
        self.known = {}  # picture digest -> progress value, None for the initial scene
        self.scene = self.draw([])
        self.known[digest(*self.scene)] = None
        empty, full = self.draw(["P:0"]), self.draw(["P:100"])
        self.known.setdefault(digest(*empty), 0)
        self.known.setdefault(digest(*full), 100)
        w, a, b = empty[0], empty[2], full[2]
        first = next((i for i in range(0, len(a), 3) if a[i:i + 3] != b[i:i + 3]), None)
        row = first // 3 // w if first is not None else 0
        self.bar = [(i, b[i:i + 3]) for i in range(row * w * 3, (row + 1) * w * 3, 3)
                    if a[i:i + 3] != b[i:i + 3]]
        self.drawn = {0, 100}

    def draw(self, steps):
        vm.run(self.args + steps)
        picture = vm.read_ppm(self.path)
        os.unlink(self.path)
        return picture

    def name(self, frame):
        w, h, px = frame
        if (w, h) == self.scene[:2] and self.bar:
            filled = sum(1 for i, c in self.bar if px[i:i + 3] == c)
            guess = round(100 * filled / len(self.bar))
            for v in range(max(0, guess - 2), min(100, guess + 2) + 1):
                if v not in self.drawn:
                    self.drawn.add(v)
                    self.known.setdefault(digest(*self.draw(["P:%d" % v])), v)
        key = digest(w, h, px)
        if key in self.known:
            v = self.known[key]
            return "scene" if v is None else "progress %d" % v
        return "text" if vm.black_share(px) > 0.9 else "other"


# ---------------------------------------------------------------- scenarios

class Scenario:
    def __init__(self, name, work, expect, out):
        self.name, self.work, self.expect, self.out = name, work, expect, out
        self.facts = {"scenario": name}
        self.step_name = "start"
        self.machine = self.capturer = None
        self.offset = 0.0
        self.later = []  # (step, problem) found on the way, failing the scenario at its end

    def step(self, name):
        self.step_name = name
        log("  [%5.1f s] %s" % (time.monotonic() - self.machine.t0 if self.machine else 0.0, name))

    def boot(self, display, loader, cmdline):
        kernel = json.load(open(os.path.join(self.work, "kernel.json")))
        cmd = ["qemu-system-x86_64", "-M", "pc", "-accel", "tcg", "-m", "512", "-smp", "2",
               "-nic", "none", "-vga", "none"] + display + [
               "-kernel", kernel["vmlinux"], "-initrd", os.path.join(self.work, loader),
               "-drive", "file=%s,if=virtio,format=raw,snapshot=on" % os.path.join(self.work, "root.ext4"),
               "-append", CMDLINE + " " + cmdline,
               "-serial", "file:" + os.path.join(self.out, "console.log")]
        self.step("boot")
        self.machine = vm.Vm("shell", cmd, self.out, 1)
        self.machine.connect_qmp()
        self.capturer = Capturer(self.machine, os.path.join(self.out, "capture.ppm"))
        if display:
            self.capturer.start()
        self.step("wait for the test shell")
        self.machine.wait_line(r"@@READY", 120)
        self.sync_clock()

    def sync_clock(self):
        """The guest's uptime against the host's time since QEMU started."""
        t1 = time.monotonic()
        up = float(self.machine.check("cut -d' ' -f1 /proc/uptime")[-1])
        t2 = time.monotonic()
        self.offset = (t1 + t2) / 2 - self.machine.t0 - up

    def sh(self, line, timeout=30):
        return self.machine.check(line, timeout)

    def value(self, line, timeout=30):
        out = self.sh(line, timeout)
        return out[-1].strip() if out else ""

    def monotonic(self, unit, prop):
        """A unit's timestamp in seconds since boot, or None."""
        v = self.value("systemctl show -p %s --value %s" % (prop, unit))
        return int(v) / 1e6 if v.isdigit() and int(v) > 0 else None

    def wait_until(self, line, what, timeout=60):
        """Polls a guest condition until it holds or the deadline passes."""
        rc, out = self.machine.sh("/usr/local/lib/glimmer-test/wait-until.sh %d %s && "
                                  "cut -d' ' -f1 /proc/uptime" % (timeout, shlex.quote(line)),
                                  timeout + 15)
        if rc != 0:
            raise vm.Failure("%s: not so within %d s" % (what, timeout))
        return float(out[-1])

    def fb_info(self):
        return vm.parse_fb_info(self.sh("vtprobe fb"))

    def boot_finished(self, want):
        self.step("wait for the end of the boot")
        rc, out = self.machine.sh("systemctl is-system-running --wait", 150)
        state = out[-1].strip() if out else ""
        self.facts["system_state"] = state
        self.facts["multi_user_at"] = self.monotonic("multi-user.target",
                                                     "ActiveEnterTimestampMonotonic")
        if want and state != want:
            failed = self.sh("systemctl --failed --plain --no-legend")
            raise vm.Failure("system is %r, want %r; failed units: %s" % (state, want, failed))

    def no_failed_units(self):
        self.step("no failed unit")
        failed = [l for l in self.sh("systemctl --failed --plain --no-legend") if l.strip()]
        if failed:
            raise vm.Failure("failed units: %s" % failed)

    def glimmer_gone(self):
        self.step("glimmer and its companion gone, FIFO removed")
        rc, out = self.machine.sh("pidof glimmer glimmer-progress")
        if rc == 0:
            raise vm.Failure("still running: pid %s" % out)
        self.sh("[ ! -e %s ]" % FIFO)

    def text_mode(self):
        """tty1 on display in text mode with automatic switching."""
        self.step("tty1 on display in text mode")
        at = self.wait_until("[ \"$(cat /sys/class/tty/tty0/active)\" = tty1 ] && "
                             "[ \"$(vtprobe kdmode 1)\" = 'kdmode text vtmode auto' ]",
                             "tty1 in text mode", 20)
        self.facts.setdefault("text_mode_at", []).append(at)

    def console_back(self, login=True):
        """tty1 in text mode, showing its login prompt; the screen shows text."""
        self.text_mode()
        if login:
            self.step("login prompt on tty1")
            self.wait_until("grep -aq 'login:' /dev/vcs1", "a login prompt on tty1", 30)
        frame = self.capture_now("text-screen")
        if frame and vm.black_share(frame[2]) <= 0.9:
            raise vm.Failure("the screen is not a text console (%.0f%% black)"
                             % (100 * vm.black_share(frame[2])))

    def capture_now(self, name):
        """A fresh capture, kept as NAME.png."""
        if not self.capturer.is_alive():
            return None
        n = len(self.capturer.timeline)
        end = time.monotonic() + 5
        while len(self.capturer.timeline) < n + 2 and time.monotonic() < end:
            time.sleep(0.05)
        frame = self.capturer.latest()
        vm.write_png(os.path.join(self.out, name + ".png"), *frame)
        return frame

    def guest_times(self):
        """When the framebuffer appeared and glimmer ran, from the guest."""
        self.step("read the guest's timeline")
        # grep ends at the first match; dmesg's complaint about that is dropped.
        rc, out = self.machine.sh("dmesg 2>/dev/null | grep -m1 'fb0: .*frame buffer device'")
        m = next(filter(None, (re.match(r"\[\s*([\d.]+)\]", l) for l in out)), None)
        self.facts["fb0_at"] = float(m.group(1)) if m else None
        # When udev had handled it and systemd knew the device.
        self.facts["fb0_unit_at"] = self.monotonic("dev-fb0.device", "ActiveEnterTimestampMonotonic")
        self.facts["glimmer_started_at"] = self.monotonic("glimmer.service",
                                                          "ExecMainStartTimestampMonotonic")
        self.facts["glimmer_ended_at"] = self.monotonic("glimmer.service",
                                                        "ExecMainExitTimestampMonotonic")
        self.facts["glimmer_result"] = self.value("systemctl show -p Result --value glimmer.service")
        cpu = self.value("systemctl show -p CPUUsageNSec --value glimmer-progress.service")
        self.facts["companion_cpu"] = int(cpu) / 1e9 if cpu.isdigit() else None

    def analyse(self, info, need_splash, need_rise=True):
        """Names every capture; checks that the splash showed pixel for
        pixel and that the progress only rose."""
        self.step("analyse the captures")
        pics = Pictures(self.expect, info, self.out)
        with self.capturer.lock:
            frames, timeline = list(self.capturer.frames), list(self.capturer.timeline)
        names = [pics.name(f) for f in frames]
        lines, first, progress, last, changes = [], {}, [], None, []
        for t, i in timeline:
            g = t - self.offset
            lines.append("%7.2f %7.2f  frame %3d  %s" % (t, g, i, names[i]))
            first.setdefault(i, g)
            if names[i].startswith("progress") and names[i] != last:
                progress.append((round(g, 2), int(names[i].split()[1])))
            last = names[i]
            # Between text console and splash; a half-drawn picture is neither.
            kind = "splash" if last == "scene" or last.startswith("progress") else last
            if kind != "other" and (not changes or changes[-1][1] != kind):
                changes.append((round(g, 2), kind))
        self.facts["screen_changes"] = changes
        with open(os.path.join(self.out, "captures.txt"), "w") as f:
            f.write("# host s, guest s, picture\n" + "\n".join(lines) + "\n")
        kept = 0
        for i, frame in enumerate(frames):
            if names[i] != "text" or kept < 4:
                vm.write_png(os.path.join(self.out, "frame%03d-%s.png" % (i, names[i].replace(" ", ""))),
                             *frame)
                kept += names[i] == "text"
        scene = [first[i] for i, n in enumerate(names) if n == "scene" or n.startswith("progress")]
        self.facts["first_scene_at"] = min(scene) if scene else None
        self.facts["progress_seen"] = progress
        log("  captures: %d in %d pictures: %s" % (len(timeline), len(frames),
                                                   ", ".join(sorted(set(names)))))
        if not need_splash:
            return
        if not scene:
            w, h, px = pics.scene
            vm.write_png(os.path.join(self.out, "expected-scene.png"), w, h, px)
            raise vm.Failure("no capture shows the splash (expected-scene.png)")
        values = [v for _, v in progress]
        if values != sorted(values):
            raise vm.Failure("progress went down: %s" % progress)
        if need_rise and not any(v > 0 for v in values):
            raise vm.Failure("no capture shows progress above 0")

    def save_journal(self):
        lines = self.machine.check("journalctl -b --no-pager -o short-monotonic", 60)
        with open(os.path.join(self.out, "journal.txt"), "w") as f:
            f.write("\n".join(lines) + "\n")

    def finish(self, ok, why):
        """Keeps what tells what happened: the guest's times, failed units,
        the journal, the captures; then ends the machine."""
        failed_step = None if ok else self.step_name
        self.facts["ok"], self.facts["failed_step"], self.facts["why"] = ok, failed_step, why
        if self.machine and self.machine.proc.poll() is None:
            try:
                if "companion_cpu" not in self.facts:
                    self.guest_times()
                self.facts["failed_units"] = self.sh("systemctl --failed --plain --no-legend")
                if "progress_seen" not in self.facts and self.capturer.frames:
                    self.analyse(self.fb_info(), False)
                self.save_journal()
            except vm.Failure:
                pass
        if self.capturer and self.capturer.is_alive():
            self.capturer.stop()
        if self.machine:
            self.machine.stop()
        if "progress_seen" not in self.facts and self.capturer:
            for i, frame in enumerate(self.capturer.frames[:20]):
                vm.write_png(os.path.join(self.out, "frame%03d.png" % i), *frame)
        with open(os.path.join(self.out, "result.json"), "w") as f:
            json.dump(self.facts, f, indent=1)
        if not ok:
            with open(os.path.join(self.out, "FAILED-STEP.txt"), "w") as f:
                f.write("%s\n%s\n" % (failed_step, why))


def bochs():
    return ["-device", "bochs-display"]


def scenario_early(s):
    s.boot(bochs(), "loader-fb.cpio.gz", "")
    s.boot_finished("running")
    s.no_failed_units()
    s.glimmer_gone()
    s.console_back()
    s.guest_times()
    info = s.fb_info()
    s.analyse(info, True)
    f = s.facts
    if f["first_scene_at"] > (f["multi_user_at"] or 1e9):
        raise vm.Failure("the splash came only after multi-user.target")


def scenario_udev(s):
    s.boot(bochs(), "loader.cpio.gz", "glimmer_test.hold=%d" % UDEV_HOLD)
    s.boot_finished("running")
    s.no_failed_units()
    s.glimmer_gone()
    s.console_back()
    s.guest_times()
    s.analyse(s.fb_info(), True)
    f = s.facts
    if f["fb0_at"] is None:
        raise vm.Failure("no fb0 in the kernel log")
    late = f["first_scene_at"] - f["fb0_at"]
    vm.log("splash first captured %.2f s after /dev/fb0 appeared" % late)
    if late > UDEV_HOLD:
        raise vm.Failure("splash first captured %.2f s after /dev/fb0 appeared" % late)


def scenario_nodisplay(s):
    s.boot([], "loader.cpio.gz", "")
    s.boot_finished("running")
    s.no_failed_units()
    s.glimmer_gone()
    s.guest_times()
    s.sh("[ ! -e /dev/fb0 ]")


def scenario_poweroff(s):
    s.boot(bochs(), "loader-fb.cpio.gz", "systemd.mask=glimmer-quit.service glimmer_test.gate")
    s.boot_finished("running")
    s.step("splash still up after the boot")
    s.sh("[ -p %s ] && pidof glimmer" % FIFO)
    s.step("glimmer's message already in the journal")
    rc, _ = s.machine.sh("journalctl -b -o cat -u glimmer.service | grep -qx %s"
                         % shlex.quote(vm.BOCHS_ERR.strip()))
    if rc != 0:
        # Checked again at the end: the poweroff is worth seeing all the same.
        s.later.append((s.step_name, "%r is not in the journal while glimmer runs"
                        % vm.BOCHS_ERR.strip()))
    info = s.fb_info()
    s.guest_times()
    s.step("poweroff")
    s.facts["poweroff_at"] = float(s.value("systemctl poweroff --no-block; cut -d' ' -f1 /proc/uptime"))
    s.step("glimmer ends within its stop timeout")
    s.wait_until("! pidof glimmer >/dev/null", "glimmer ended", 60)
    # The stop begins once the units started after the splash have stopped.
    s.facts["glimmer_stop_at"] = s.monotonic("glimmer.service", "ActiveExitTimestampMonotonic")
    s.facts["glimmer_ended_at"] = s.monotonic("glimmer.service", "ExecMainExitTimestampMonotonic")
    s.facts["stop_timeout"] = s.value("systemctl show -p TimeoutStopUSec --value glimmer.service")
    s.facts["glimmer_result"] = s.value("systemctl show -p Result --value glimmer.service")
    if s.facts["glimmer_result"] != "success":
        raise vm.Failure("glimmer.service result %r after its stop (stop timeout %s)"
                         % (s.facts["glimmer_result"], s.facts["stop_timeout"]))
    s.sh("[ ! -e %s ]" % FIFO)
    # The shutdown has stopped the getty and cleared tty1 by now.
    s.console_back(login=False)
    s.analyse(info, True, need_rise=False)
    s.save_journal()
    s.step("let the poweroff go on")
    s.sh("touch /run/glimmer-test-go")
    end = time.monotonic() + 90
    while s.machine.proc.poll() is None and time.monotonic() < end:
        time.sleep(0.2)
    if s.machine.proc.poll() is None:
        raise vm.Failure("the machine did not power off within 90 s")


def scenario_sigkill(s):
    s.boot(bochs(), "loader-fb.cpio.gz", "glimmer_test.hold=go")
    s.step("splash up")
    s.wait_until("[ -p %s ] && [ \"$(vtprobe kdmode $(sed 's/tty//' /sys/class/tty/tty0/active))\" = "
                 "'kdmode graphics vtmode process' ]" % FIFO, "glimmer holding the display", 90)
    info = s.fb_info()
    s.step("SIGKILL")
    s.facts["killed_at"] = float(s.value("kill -KILL $(pidof glimmer); cut -d' ' -f1 /proc/uptime"))
    s.wait_until("! pidof glimmer >/dev/null", "glimmer gone", 10)
    s.text_mode()
    s.step("the boot goes on")
    s.sh("touch /run/glimmer-test-go")
    s.boot_finished(None)
    s.console_back()
    if s.value("systemctl is-active multi-user.target") != "active":
        raise vm.Failure("multi-user.target not reached")
    s.sh("[ ! -e %s ]" % FIFO)
    s.guest_times()
    s.analyse(info, True, need_rise=False)


SCENARIOS = {"early": scenario_early, "udev": scenario_udev, "nodisplay": scenario_nodisplay,
             "poweroff": scenario_poweroff, "sigkill": scenario_sigkill}


def fmt(v):
    if v is None:
        return "-"
    if isinstance(v, list):
        return "/".join(fmt(x) for x in v)
    return "%.2f s" % v if isinstance(v, float) else str(v)


def summary(work):
    """One line per scenario from the last runs' results."""
    keys = [("fb0_at", "fb0"), ("fb0_unit_at", "dev-fb0.device"), ("glimmer_started_at", "started"), ("first_scene_at", "splash"),
            ("killed_at", "killed"), ("poweroff_at", "poweroff"), ("glimmer_stop_at", "stop"),
            ("glimmer_ended_at", "ended"), ("multi_user_at", "multi-user")]
    for name in sorted(SCENARIOS):
        path = os.path.join(work, "out-" + name, "result.json")
        if not os.path.exists(path):
            continue
        f = json.load(open(path))
        progress = [v for _, v in f.get("progress_seen") or []]
        log("%-9s %s %5.1f s  %s; progress %s; companion CPU %s" % (
            name, "PASS" if f["ok"] else "FAIL", f["wall_s"],
            ", ".join("%s %.2f" % (label, f[k]) for k, label in keys if f.get(k) is not None),
            "%d..%d (%d values)" % (progress[0], progress[-1], len(progress)) if progress else "-",
            fmt(f.get("companion_cpu"))))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--prepare", action="store_true", help="build the root image and loaders")
    ap.add_argument("--source", default=os.path.dirname(os.path.dirname(vm.HERE)))
    ap.add_argument("--work", required=True, help="where the image, loaders and builds go")
    ap.add_argument("--scenario", choices=sorted(SCENARIOS))
    ap.add_argument("--expect", help="the expect_scene tool")
    ap.add_argument("--out", help="directory for logs and captures (default WORK/out-SCENARIO)")
    ap.add_argument("--summary", action="store_true", help="the guest times of the last runs")
    a = ap.parse_args()
    work = os.path.abspath(a.work)
    if a.summary:
        summary(work)
        return 0
    os.makedirs(work, exist_ok=True)
    if a.prepare:
        try:
            prepare(os.path.abspath(a.source), work)
        except (subprocess.CalledProcessError, OSError, IndexError) as e:
            log("SKIP: cannot set up the VM: %s" % e)
            return vm.SKIP
        except vm.Failure as e:
            log("FAIL: %s" % e)
            return 1
        return 0
    if not a.scenario or not a.expect:
        ap.error("--scenario and --expect are needed to run a scenario")
    if not os.path.exists(os.path.join(work, "kernel.json")):
        log("SKIP: no prepared image in %s (the set-up was skipped)" % work)
        return vm.SKIP
    out = os.path.abspath(a.out or os.path.join(work, "out-" + a.scenario))
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    s = Scenario(a.scenario, work, os.path.abspath(a.expect), out)
    t0 = time.monotonic()
    log("scenario %s" % a.scenario)
    try:
        SCENARIOS[a.scenario](s)
        if s.later:
            s.step_name = s.later[0][0]
            raise vm.Failure("; ".join(why for _, why in s.later))
        ok, why = True, ""
    except vm.Failure as e:
        ok, why = False, str(e)
    s.facts["wall_s"] = round(time.monotonic() - t0, 1)
    s.finish(ok, why)
    f = s.facts
    log("%s %s in %.1f s: system %s" % ("PASS" if ok else "FAIL", a.scenario, f["wall_s"],
                                        f.get("system_state")))
    log("  guest times: " + ", ".join("%s %s" % (k, fmt(f.get(k))) for k in (
        "fb0_at", "fb0_unit_at", "glimmer_started_at", "first_scene_at", "killed_at", "poweroff_at", "glimmer_stop_at",
        "text_mode_at", "multi_user_at", "glimmer_ended_at") if f.get(k) is not None))
    log("  screen (guest s): %s" % f.get("screen_changes"))
    log("  glimmer result %s; progress seen (guest s, value): %s; companion CPU: %s" % (
        f.get("glimmer_result"), f.get("progress_seen"), f.get("companion_cpu")))
    if not ok:
        log("  failed step: %s: %s\n  logs and captures in %s" % (f["failed_step"], why, out))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
