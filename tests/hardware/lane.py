#!/usr/bin/env python3
"""The serial lane on real kernel drivers.

Boots Debian's kernel under QEMU (TCG) with a 16550 (/dev/ttyS1) and a USB
serial adapter (/dev/ttyUSB0), each wired to a decoder simulator on a host
pty. The guest mounts this machine's root read-only over 9p and runs
guest.sh there; it asks this script, line by line on its console, to pull
or plug the adapter, stop or resume a simulator and compare a simulator's
flash with an image, and reads the answer from a file in the lane folder.
Last, ser2net in the guest serves both drivers on ports QEMU forwards to
this machine, and the tool and the window here read and flash through them.
At the end the modem-line writes QEMU traced are turned into pulse widths.
"""

import argparse
import glob
import gzip
import json
import os
import random
import select
import shutil
import signal
import socket
import stat
import statistics
import subprocess
import sys
import tempfile
import time

MODULES = [
    "drivers/usb/common/usb-common", "drivers/usb/core/usbcore", "drivers/usb/host/xhci-hcd",
    "drivers/usb/host/xhci-pci", "drivers/usb/serial/usbserial", "drivers/usb/serial/ftdi_sio",
    "fs/netfs/netfs", "fs/fscache/fscache", "net/9p/9pnet", "drivers/virtio/virtio_ring",
    "drivers/virtio/virtio", "drivers/virtio/virtio_pci_modern_dev", "drivers/virtio/virtio_pci_legacy_dev",
    "drivers/virtio/virtio_pci", "net/9p/9pnet_virtio", "fs/9p/9p",
    "net/core/failover", "drivers/net/net_failover", "drivers/net/virtio_net",
]
BOOT_LIMIT = 120  # seconds until the guest must have reached its script
SIMS = {"usb": "U-1111", "uart": "S-2222"}  # serial numbers tell the two decoders apart
SERVED = {"usb": 4001, "uart": 4002}  # ser2net's port in the guest for each driver
REMOTE_WINDOW_TEST = "HardwareWindow.ReadsEachDecoderThroughTheGuestsSerialServer"


def say(text):
    print(f"hardware lane: {text}", flush=True)


def give_up(text):
    print(f"hardware lane: {text}", file=sys.stderr, flush=True)
    sys.exit(1)


def find_kernel(root):
    kernels = sorted(glob.glob(os.path.join(root, "boot", "vmlinuz-*")))
    trees = sorted(glob.glob(os.path.join(root, "lib", "modules", "*", "kernel")))
    if not kernels or not trees:
        give_up(f"no kernel unpacked in {root}: scripts/setup.sh test fetches linux-image-amd64 and unpacks it there")
    return kernels[-1], trees[-1]


def make_initramfs(work, source, tree, busybox):
    root = os.path.join(work, "initramfs")
    os.makedirs(os.path.join(root, "bin"))
    os.makedirs(os.path.join(root, "modules"))
    for folder in ("proc", "sys", "dev", "host", "etc"):
        os.makedirs(os.path.join(root, folder), exist_ok=True)
    shutil.copy(busybox, os.path.join(root, "bin", "busybox"))
    shutil.copy(os.path.join(source, "init"), os.path.join(root, "init"))
    os.chmod(os.path.join(root, "init"), 0o755)
    names = []
    for module in MODULES:
        path = os.path.join(tree, module + ".ko")
        if not os.path.exists(path):
            give_up(f"kernel module {path} missing")
        shutil.copy(path, os.path.join(root, "modules"))
        names.append(os.path.basename(module))
    with open(os.path.join(root, "modules.list"), "w") as f:
        f.write("\n".join(names) + "\n")
    files = subprocess.run(["find", "."], cwd=root, capture_output=True, text=True, check=True).stdout
    archive = subprocess.run([busybox, "cpio", "-o", "-H", "newc"], cwd=root, input=files.encode(),
                             capture_output=True, check=True).stdout
    image = os.path.join(work, "initrd.gz")
    with gzip.open(image, "wb", compresslevel=1) as f:
        f.write(archive)
    shutil.rmtree(root)
    return image


def reachable(path):
    """Whether an ordinary user (the guest's) may enter every folder on the path."""
    path = os.path.abspath(path)
    while True:
        if not os.stat(path).st_mode & stat.S_IXOTH:
            return False
        parent = os.path.dirname(path)
        if parent == path:
            return True
        path = parent


def stage_for_guest(bin_dir, devbin, source):
    """A checkout in a private folder (root's home, mode 0700) is closed to
    the guest's ordinary user: the programs, the bootloader library, the
    catalogues and the lane's scripts are copied to a folder it may read,
    links resolved. Returns that folder and the paths within it."""
    stage = tempfile.mkdtemp(prefix="kz-lane-")
    os.chmod(stage, 0o755)

    def copy(folder, names, target):
        os.makedirs(target)
        for name in names:
            path = os.path.join(folder, name)
            if os.path.isdir(path):
                shutil.copytree(path, os.path.join(target, name), symlinks=False)
            elif os.path.exists(path):
                shutil.copy(path, os.path.join(target, name))
        return target

    product = ["libBootloader.so", "locale", "keys"]
    new_bin = copy(bin_dir, ["KarvenZop", "karvenzop-cli"] + product, os.path.join(stage, "bin"))
    new_devbin = copy(devbin, ["hardware_window_tests"] + product, os.path.join(stage, "devbin"))
    checkout = os.path.dirname(os.path.dirname(source))
    new_source = os.path.join(stage, "src", "tests", "hardware")
    shutil.copytree(source, new_source)
    shutil.copytree(os.path.join(checkout, "tools", "update_server"), os.path.join(stage, "src", "tools", "update_server"))
    for root, folders, files in os.walk(stage):
        for name in folders + files:
            path = os.path.join(root, name)
            os.chmod(path, os.stat(path).st_mode | stat.S_IROTH | (stat.S_IXOTH if os.stat(path).st_mode & stat.S_IXUSR else 0))
    return stage, new_bin, new_devbin, new_source


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_firmware(work, devbin, size):
    """Two images (one per run through a driver), as files and containers."""
    rng = random.Random(21)
    server = os.path.join(work, "server")
    os.makedirs(server)
    for name in ("a", "b"):
        image = os.path.join(work, f"image-{name}.bin")
        with open(image, "wb") as f:
            f.write(bytes(rng.getrandbits(8) for _ in range(size)))
        subprocess.run([os.path.join(devbin, "mkfirmware"), "--target", "KARVEN-C469", "--version",
                        "4.70" if name == "a" else "4.71", image, os.path.join(work, f"firmware-{name}.acy")],
                       check=True, stdout=subprocess.DEVNULL)
    shutil.copy(os.path.join(work, "firmware-a.acy"), os.path.join(server, "karvenc469.acy"))
    with open(os.path.join(server, "karvenzop.txt"), "w") as f:
        f.write("1.0.3\r\n")
    with open(os.path.join(server, "karvenfir.txt"), "w") as f:
        f.write("4.70")


class Sim:
    def __init__(self, work, devbin, name, serial):
        self.link = os.path.join(work, f"{name}-link")
        self.dump = os.path.join(work, f"{name}.dump")
        self.log = os.path.join(work, f"{name}-sim.log")
        args = [os.path.join(devbin, "decoder_sim"), "--link", self.link, "--serial", serial, "--dump", self.dump]
        if name == "usb":
            args += ["--telegram-interval", "0.5"]
        self.process = subprocess.Popen(args, stdout=open(self.log, "w"), stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while "READY" not in open(self.log).read():
            if time.monotonic() > deadline or self.process.poll() is not None:
                give_up(f"decoder_sim for {name} did not start: {open(self.log).read()}")
            time.sleep(0.05)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()


class Qmp:
    def __init__(self, path):
        deadline = time.monotonic() + 10
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(path)
                break
            except OSError:
                if time.monotonic() > deadline:
                    give_up("QEMU's monitor socket did not open")
                time.sleep(0.05)
        self.buffer = b""
        self.events = []
        self.read_message(10)  # greeting
        self.command("qmp_capabilities")

    def read_message(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                raise TimeoutError("QEMU's monitor did not answer")
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("QEMU's monitor closed")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def command(self, name, **arguments):
        self.sock.sendall(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
        while True:
            message = self.read_message(10)
            if "event" in message:
                self.events.append(message)
            elif "error" in message:
                raise RuntimeError(f"{name}: {message['error'].get('desc')}")
            elif "return" in message:
                return message["return"]

    def wait_event(self, name, timeout):
        deadline = time.monotonic() + timeout
        while True:
            for event in self.events:
                if event["event"] == name:
                    self.events.remove(event)
                    return True
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            try:
                message = self.read_message(left)
            except TimeoutError:
                return False
            if "event" in message:
                self.events.append(message)


def modem_pulses(trace, since, foreign=()):
    """Pulses of DTR and RTS per driver: (raise time, width until both are low
    again), leaving out those raised while another program held the port
    (`foreign`: spans of host time)."""
    pulses = {"usb": [], "uart": []}
    state = {"usb": 0, "uart": 0}
    raised = {"usb": None, "uart": None}
    last = {"usb": None, "uart": None}
    with open(trace, errors="replace") as f:
        f.seek(since)
        for line in f:
            stamp, _, rest = line.partition(":")
            if "@" not in stamp:
                continue
            when = float(stamp.split("@")[1])
            words = rest.split()
            if rest.startswith("usb_serial_handle_control") and len(words) >= 8 and words[5] == "0x4001,":
                value = int(words[7], 16)
                mask, levels = value >> 8, value & 0xFF
                driver, new = "usb", (state["usb"] & ~mask) | (levels & mask)
            elif rest.startswith("serial_write") and len(words) >= 6 and words[3] == "0x04":
                driver, new = "uart", int(words[5], 16)
            else:
                continue
            new &= 3  # DTR, RTS
            if state[driver] == 0 and new != 0:
                raised[driver] = when
            elif state[driver] != 0 and new == 0 and raised[driver] is not None:
                if not any(begin <= raised[driver] <= end for begin, end in foreign):
                    pulses[driver].append((raised[driver], when - raised[driver]))
                raised[driver] = None
            state[driver] = new
            last[driver] = new
    return pulses, state


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="folder of KarvenZop and karvenzop-cli")
    parser.add_argument("--devbin", required=True, help="folder of the test programs, decoder_sim, mkfirmware")
    parser.add_argument("--kernel-root", required=True, help="linux-image-amd64 unpacked with dpkg-deb -x")
    parser.add_argument("--work", required=True, help="lane folder (visible in the guest, so not below /run)")
    parser.add_argument("--limit", type=float, default=330, help="seconds for the whole lane")
    parser.add_argument("--image-size", type=int, default=16384)
    args = parser.parse_args()
    started = time.monotonic()
    source = os.path.dirname(os.path.abspath(__file__))

    qemu = shutil.which("qemu-system-x86_64")
    if not qemu:
        give_up("qemu-system-x86_64 not found: scripts/setup.sh test installs qemu-system-x86")
    busybox = "/bin/busybox"
    if not os.path.exists(busybox) or b"ld-linux" in open(busybox, "rb").read(4096):
        give_up("a static busybox is missing: scripts/setup.sh test installs busybox-static")
    kernel, tree = find_kernel(os.path.abspath(args.kernel_root))
    results_folder = os.path.abspath(args.work)
    if results_folder.startswith("/run/"):
        give_up("the lane folder must not lie below /run: the guest has its own there")
    shutil.rmtree(results_folder, ignore_errors=True)
    stage = None
    bin_dir, devbin = os.path.abspath(args.bin), os.path.abspath(args.devbin)
    if not all(reachable(path) for path in (bin_dir, devbin, source, os.path.dirname(results_folder))):
        stage, bin_dir, devbin, source = stage_for_guest(bin_dir, devbin, source)
        say(f"the checkout is closed to ordinary users: the guest reads a copy in {stage}")
    try:
        code = run_lane(args, started, source, bin_dir, devbin, os.path.join(stage, "lane") if stage else results_folder,
                        kernel, tree, busybox, qemu)
    finally:
        if stage:
            shutil.copytree(os.path.join(stage, "lane"), results_folder, dirs_exist_ok=True,
                            ignore=shutil.ignore_patterns("*-link", "qmp.sock"))
            shutil.rmtree(stage, ignore_errors=True)
    return code


def run_lane(args, started, source, bin_dir, devbin, work, kernel, tree, busybox, qemu):
    os.makedirs(os.path.join(work, "ack"))
    os.chmod(work, 0o755)
    initrd = make_initramfs(work, source, tree, busybox)
    make_firmware(work, os.path.abspath(args.devbin), args.image_size)
    with open(os.path.join(work, "run.sh"), "w") as f:
        f.write(f"export KZ_HW_LANE={work} KZ_HW_BIN={bin_dir} "
                f"KZ_HW_DEVBIN={devbin} KZ_HW_SOURCE={source} "
                f"KZ_HW_TCP_USB={SERVED['usb']} KZ_HW_TCP_UART={SERVED['uart']}\n"
                f"exec /bin/bash {source}/guest.sh\n")

    sims = {name: Sim(work, os.path.abspath(args.devbin), name, serial) for name, serial in SIMS.items()}
    forwarded = {name: free_port() for name in SERVED}
    trace = os.path.join(work, "trace.log")
    qmp_path = os.path.join(work, "qmp.sock")
    command = [
        qemu, "-accel", "tcg", "-m", "1024", "-nodefaults", "-nographic", "-no-reboot",
        "-kernel", kernel, "-initrd", initrd,
        "-append", f"console=ttyS0 quiet panic=-1 kzlane={work}",
        "-serial", "stdio",
        "-device", "qemu-xhci,id=xhci",
        "-chardev", f"serial,id=usb,path={sims['usb'].link}",
        "-device", "usb-serial,id=adapter,chardev=usb,bus=xhci.0",
        "-chardev", f"serial,id=uart,path={sims['uart'].link}",
        "-device", "isa-serial,chardev=uart,index=1",
        # The guest reaches nothing; only its serial servers are reached from here.
        "-netdev", "user,id=net,restrict=on," + ",".join(
            f"hostfwd=tcp:127.0.0.1:{forwarded[name]}-:{port}" for name, port in SERVED.items()),
        "-device", "virtio-net-pci,netdev=net,romfile=",
        "-virtfs", "local,path=/,mount_tag=hostroot,readonly=on,multidevs=remap,security_model=none",
        "-qmp", f"unix:{qmp_path},server=on,wait=off",
        "-trace", "usb_serial_handle_control", "-trace", "serial_write", "-D", trace, "-msg", "timestamp=on",
    ]
    console = open(os.path.join(work, "console.log"), "w")
    qemu_started = time.monotonic()
    guest = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=open(os.path.join(work, "qemu.log"), "w"))
    results = {"pass": [], "fail": [], "figure": []}
    foreign = []  # spans in which a program other than the tool opened a port
    served = (0.0, 0.0)  # the span in which ser2net held the ports for the host
    end_code = None
    booted = None
    trace_from = 0
    try:
        qmp = Qmp(qmp_path)
        buffer = b""
        while end_code is None:
            now = time.monotonic()
            limit = started + args.limit if booted else min(started + args.limit, qemu_started + BOOT_LIMIT)
            if now > limit:
                if not booted:
                    give_up(f"the guest did not boot within {BOOT_LIMIT} s (console in {console.name})")
                give_up(f"the lane ran past its {args.limit:.0f} s (console in {console.name})")
            if not select.select([guest.stdout], [], [], min(1.0, limit - now))[0]:
                continue
            chunk = os.read(guest.stdout.fileno(), 65536)
            if not chunk:
                give_up(f"QEMU ended before the guest finished (see {work}/qemu.log and {console.name})")
            buffer += chunk
            while b"\n" in buffer:
                raw, buffer = buffer.split(b"\n", 1)
                line = raw.decode(errors="replace").strip("\r")
                console.write(line + "\n")
                console.flush()
                at = line.find("@@")
                if at < 0:
                    continue
                words = line[at + 2:].split()
                kind = words[0] if words else ""
                answer = None
                if kind == "BOOTED":
                    booted = time.monotonic() - qemu_started
                    trace_from = os.path.getsize(trace)
                    say(f"guest booted in {booted:.1f} s")
                elif kind == "REQ" and words[2:3] == ["foreign"]:
                    foreign.append((time.time(), float("inf")))
                    answer = "ok"
                elif kind == "REQ" and words[2:3] == ["own"]:
                    foreign[-1] = (foreign[-1][0], time.time())
                    answer = "ok"
                elif kind == "REQ" and words[2:3] == ["remote"]:
                    begin = time.time()
                    answer = remote_cases(args, started + args.limit, forwarded, sims, work, results)
                    served = (begin, time.time())
                elif kind == "REQ":
                    answer = handle_request(words[2:], qmp, sims, work)
                if answer is not None:
                    path = os.path.join(work, "ack", words[1])
                    with open(path + ".tmp", "w") as f:
                        f.write(answer + "\n")
                    os.rename(path + ".tmp", path)
                if kind in ("PASS", "FAIL", "FIGURE"):
                    results[kind.lower()].append(" ".join(words[1:]))
                    print(line[at:], flush=True)
                elif kind == "END":
                    end_code = int(words[1]) if len(words) > 1 else 1
        try:
            guest.wait(20)
        except subprocess.TimeoutExpired:
            pass
    finally:
        if guest.poll() is None:
            guest.kill()
            guest.wait()
        for sim in sims.values():
            sim.stop()

    pulses, final = modem_pulses(trace, trace_from, foreign)
    ok = end_code == 0 and not results["fail"] and results["pass"]
    for driver, found in pulses.items():
        if not found:
            say(f"{driver}: no DTR/RTS pulse traced")
            ok = False
            continue
        # Through ser2net a pulse lasts from its open of the device until
        # the tool's line settings have crossed the network, and from its
        # putting back the lines it found at open until its close.
        remote = [w for t, w in found if served[0] <= t <= served[1]]
        for opener, group in (("open", [w for t, w in found if not served[0] <= t <= served[1]]),
                              ("ser2net's open and close", remote)):
            if not group:
                continue
            widths = sorted(w * 1000 for w in group)
            say(f"{driver}: {len(widths)} DTR/RTS pulses at {opener}, width median {statistics.median(widths):.2f} ms, "
                f"max {widths[-1]:.2f} ms")
            # A line the tool left active would stay up for a whole connection
            # or flash (seconds); a pulse at open lasts milliseconds.
            if widths[-1] > 1000:
                say(f"{driver}: DTR or RTS stayed active")
                ok = False
        say(f"{driver}: lines at the end: {'inactive' if final[driver] == 0 else 'ACTIVE'}")
        if final[driver] != 0:
            ok = False
    say(f"{len(results['pass'])} passed, {len(results['fail'])} failed, guest script ended with {end_code}, "
        f"boot {booted:.1f} s, whole lane {time.monotonic() - started:.0f} s")
    for failure in results["fail"]:
        say(f"FAILED: {failure}")
    return 0 if ok else 1


def remote_cases(args, deadline, forwarded, sims, work, results):
    """Through ser2net in the guest, from this machine: karvenzop-cli reads
    and flashes each decoder, and the window reads both. Each case is a
    result of the lane; the guest hears "ok" once all passed."""
    home = tempfile.mkdtemp(prefix="kz-lane-home-")
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=f"{home}/config", XDG_DATA_HOME=f"{home}/data",
               XDG_CACHE_HOME=f"{home}/cache", XDG_RUNTIME_DIR=f"{home}/run", TMPDIR=home,
               LANG="C.UTF-8", QT_QPA_PLATFORM="offscreen", KZ_HW_LANE=work)
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
    urls = {name: f"rfc2217://127.0.0.1:{port}" for name, port in forwarded.items()}
    cli = os.path.join(os.path.abspath(args.bin), "karvenzop-cli")
    failed = []

    def run(command, limit, **extra):
        limit = max(1.0, min(limit, deadline - time.monotonic()))  # within the lane's own bound
        try:
            return subprocess.run(command, env=env, capture_output=True, text=True, errors="replace", timeout=limit, **extra)
        except subprocess.TimeoutExpired as error:
            return subprocess.CompletedProcess(command, -1, "", f"still running after {limit:.0f} s")

    def verdict(name, ok, output):
        if not ok:
            print(output, flush=True)
            failed.append(name)
        results["pass" if ok else "fail"].append(name)
        print(f"@@{'PASS' if ok else 'FAIL'} {name}", flush=True)

    def figure(text):
        results["figure"].append(text)
        print(f"@@FIGURE {text}", flush=True)

    try:
        for name, url in urls.items():
            out = run([cli, "info", "--port", url], 60)
            verdict(f"remote cli info {name}", out.returncode == 0 and SIMS[name] in out.stdout, out.stdout + out.stderr)
            handle_request(["dump-clear", name], None, sims, work)
            start = time.monotonic()
            out = run([cli, "flash", "--port", url, "--image", os.path.join(work, "firmware-b.acy"), "--yes",
                       "--allow-unsigned"], 120, input="y\n")
            figure(f"remote cli flash {name} {time.monotonic() - start:.1f} s")
            check = handle_request(["dump-check", name, "image-b.bin"], None, sims, work)
            verdict(f"remote cli flash {name}", out.returncode == 0 and check == "ok",
                    f"{out.stdout}{out.stderr}flash against the image: {check}")
        env.update(KZ_HW_REMOTE_USB=urls["usb"], KZ_HW_REMOTE_UART=urls["uart"], KARVENZOP_PORTS=":".join(urls.values()))
        out = run([os.path.join(os.path.abspath(args.devbin), "hardware_window_tests"),
                   f"--gtest_filter={REMOTE_WINDOW_TEST}"], 90)
        # A skipped case would pass too: it must have run.
        verdict("remote window", out.returncode == 0 and f"[       OK ] {REMOTE_WINDOW_TEST}" in out.stdout,
                out.stdout + out.stderr)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    return "ok" if not failed else "failed: " + ", ".join(failed)


def handle_request(words, qmp, sims, work):
    action = words[0] if words else ""
    try:
        if action == "pull":
            qmp.command("device_del", id="adapter")
            return "ok" if qmp.wait_event("DEVICE_DELETED", 10) else "not deleted"
        if action == "plug":
            try:
                qmp.command("device_add", driver="usb-serial", id="adapter", chardev="usb", bus="xhci.0")
            except RuntimeError as error:
                if "Duplicate" not in str(error):  # already plugged
                    raise
            return "ok"
        if action == "pull-mid-flash":
            # Once the bootloader has taken a quarter of the image at 19200.
            sim, wanted = sims[words[1]], int(words[2])
            start = os.path.getsize(sim.log)
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                with open(sim.log, errors="replace") as f:
                    f.seek(start)
                    got = sum(len(line.split("|")[0].split()) - 3 for line in f
                              if " RX [19200] " in line and "|" in line)
                if got >= wanted:
                    qmp.command("device_del", id="adapter")
                    return "ok" if qmp.wait_event("DEVICE_DELETED", 10) else "not deleted"
                time.sleep(0.05)
            return "the flash did not start"
        if action in ("freeze", "thaw"):
            sims[words[1]].process.send_signal(signal.SIGSTOP if action == "freeze" else signal.SIGCONT)
            return "ok"
        if action == "dump-clear":
            if os.path.exists(sims[words[1]].dump):
                os.remove(sims[words[1]].dump)
            return "ok"
        if action == "dump-check":
            dump = sims[words[1]].dump
            if not os.path.exists(dump):
                return "no dump"
            with open(dump, "rb") as a, open(os.path.join(work, words[2]), "rb") as b:
                return "ok" if a.read() == b.read() else "differs"
        return f"unknown request {action}"
    except Exception as error:  # the guest hears of it and fails its case
        return f"error {error}"


if __name__ == "__main__":
    sys.exit(main())
