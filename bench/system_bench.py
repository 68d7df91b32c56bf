#!/usr/bin/env python3
"""Figures of the built driver: in-process numbers from drv_bench, then `drvlarna --headless`
fed through a pty and talking to msgserver. Prints one table (figure, measured, target,
verdict) with the machine it ran on. Never part of ctest: these are measurements, not tests.

Usage: system_bench.py --build DIR [--quick] [--only NAME[,NAME...]] [--markdown FILE]
       system_bench.py --build DIR --compare OLD_BUILD_DIR [--quick] [--only ...] [--markdown FILE]

--compare runs the figures a delivery change moves (COMPARED below) with OLD_BUILD_DIR's
drvlarna and then with DIR's, figure by figure, and prints them side by side. Both drivers
talk to DIR's msgserver and replay spools made by DIR's drv_bench (the wire and the spool
file are the same for both).
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tty

CLK_TCK = os.sysconf("SC_CLK_TCK")
FIRST_NUMBER = 31
LINE_RATE_115200 = 768  # 115200 bit/s, 10 bits a byte, 15-byte lines
PACKET_TIMEOUT_MS = 200
POLL_MS = 5
REPLAY_TICK_MS = 200
STORED_EVENT = bytes([0x32, 0x00, 0x00, 0x03])  # type code at the head of an event spool file


def log(text):
    print(f"[bench] {text}", file=sys.stderr, flush=True)


def receiver_line(n):
    """A receiver event line whose account carries n (modulo 100000)."""
    return f"R A800{n % 100000:05d}67\r\n".encode("ascii")


def object_of(n):
    return FIRST_NUMBER * 10000 + n % 100000


# ---------------------------------------------------------------- /proc readings

def cpu_seconds(pid):
    """utime + stime of the whole process (all threads), in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def cpu_split(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) / CLK_TCK, int(fields[12]) / CLK_TCK


def vm_rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def thread_switches(pid):
    """{thread name/tid: voluntary + involuntary context switches}: how often each thread woke."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            total = 0
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
            out[f"{name}/{tid}"] = total
        except OSError:
            pass
    return out


class CpuWindow:
    """CPU share of one core and wake-ups per thread between start() and stop()."""

    def __init__(self, pid):
        self.pid = pid

    def start(self):
        self.t0 = time.monotonic()
        self.c0 = cpu_seconds(self.pid)
        self.u0 = cpu_split(self.pid)
        self.s0 = thread_switches(self.pid)

    def stop(self):
        self.wall = time.monotonic() - self.t0
        self.cpu = cpu_seconds(self.pid) - self.c0
        u1 = cpu_split(self.pid)
        self.user_pct = 100.0 * (u1[0] - self.u0[0]) / self.wall
        self.sys_pct = 100.0 * (u1[1] - self.u0[1]) / self.wall
        s1 = thread_switches(self.pid)
        self.wakeups = {k: (v - self.s0.get(k, 0)) / self.wall for k, v in s1.items()}
        return 100.0 * self.cpu / self.wall

    def wakeups_text(self):
        return f"user {self.user_pct:.2f} % + system {self.sys_pct:.2f} %; wake-ups " + ", ".join(f"{k} {v:.0f}/s" for k, v in sorted(self.wakeups.items()))


# ---------------------------------------------------------------- peers

class Pty:
    """The receiver's serial line: we write to the master, the driver opens the slave."""

    def __init__(self):
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.name = os.ttyname(slave)
        os.close(slave)

    def write(self, data):
        view = memoryview(data)
        while view:
            n = os.write(self.master, view)
            view = view[n:]

    def close(self):
        os.close(self.master)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class MsgServer:
    """tools/msgserver; every printed message line is stamped when it reaches us. With
    timing=True the server also says, before a frame that followed one of its replies, how
    long after that reply the frame came: kept in `turns` as (previous type, previous object,
    type, object, microseconds)."""

    LINE = re.compile(r"^(mt\w+|0x[0-9A-F]{8}|invalid)\b")
    OBJECT = re.compile(r"\bobject=(\d+)")
    TURN = re.compile(r"^turn us=(\d+)")

    def __init__(self, exe, port=0, extra=(), timing=False):
        if timing:
            extra = (*extra, "--timing")
        self.proc = subprocess.Popen([exe, "--port", str(port), *extra], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, bufsize=0)
        first = self.proc.stdout.readline().decode()
        m = re.match(r"listening on (\d+)", first)
        if not m:
            raise RuntimeError(f"msgserver said {first!r}")
        self.port = int(m.group(1))
        self.lock = threading.Lock()
        self.messages = []  # (arrival monotonic, type name, object or None)
        self.turns = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        stream = self.proc.stdout
        turn = None
        last = (None, None)
        for raw in iter(stream.readline, b""):
            t = time.monotonic()
            text = raw.decode(errors="replace")
            m = self.TURN.match(text)
            if m:
                turn = int(m.group(1))
                continue
            m = self.LINE.match(text)
            if not m:
                continue
            obj = self.OBJECT.search(text)
            this = (m.group(1), int(obj.group(1)) if obj else None)
            with self.lock:
                self.messages.append((t, *this))
                if turn is not None:
                    self.turns.append((*last, *this, turn))
            turn = None
            last = this

    def of_type(self, name):
        with self.lock:
            return [m for m in self.messages if m[1] == name]

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Driver:
    """`drvlarna --headless` in a work folder of its own, with its spool folder "spool/"."""

    def __init__(self, exe, workdir, pty_name, send_k8, server_port, log_on=False):
        self.workdir = workdir
        self.spool = os.path.join(workdir, "spool")
        os.makedirs(self.spool, exist_ok=True)
        ini = (
            "[port]\nComPort=COM1\nBaudRate=115200\n"
            f"[main]\nSendK8={1 if send_k8 else 0}\nLog={1 if log_on else 0}\nPathForSoob=spool/\n"
            f"FirstNumber={FIRST_NUMBER}\n"
            f"[ComMap]\nCOM1={pty_name}\n"
            f"[ServerHost]\nAddress=127.0.0.1\nPort={server_port}\n"
        )
        with open(os.path.join(workdir, "drvlarna.ini"), "w") as f:
            f.write(ini)
        self.proc = subprocess.Popen([exe, "--headless"], cwd=workdir, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, bufsize=0)
        self.pid = self.proc.pid
        self.lock = threading.Lock()
        self.stdout_lines = []
        self.stderr_lines = []
        self.started = threading.Event()
        self.start_line = ""
        threading.Thread(target=self._read_err, daemon=True).start()
        threading.Thread(target=self._read_out, daemon=True).start()
        if not self.started.wait(10):
            self.stop()
            raise RuntimeError("drvlarna did not start")
        if "port COM1 open" not in self.start_line:
            self.stop()
            raise RuntimeError(f"drvlarna: {self.start_line.strip()}")

    def _read_err(self):
        for raw in iter(self.proc.stderr.readline, b""):
            text = raw.decode(errors="replace")
            with self.lock:
                self.stderr_lines.append(text.strip())
            if "headless:" in text and not self.started.is_set():
                self.start_line = text
                self.started.set()

    def _read_out(self):
        for raw in iter(self.proc.stdout.readline, b""):
            with self.lock:
                self.stdout_lines.append((time.monotonic(), raw.decode(errors="replace").strip()))

    def wait_log(self, text, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            with self.lock:
                if any(text in line for _, line in self.stdout_lines):
                    return True
            time.sleep(0.05)
        return False

    def spool_files(self, events_only=False):
        """*.dd8 files in the spool; with events_only, those holding an mtStoredEvent (the
        station-link records the supervision spools are left out)."""
        names = [n for n in os.listdir(self.spool) if n.endswith(".dd8")]
        if not events_only:
            return len(names)
        count = 0
        for name in names:
            try:
                with open(os.path.join(self.spool, name), "rb") as f:
                    count += f.read(4) == STORED_EVENT
            except OSError:
                pass
        return count

    def spooled_objects(self):
        """Object numbers of the events waiting in the spool (type code, then the record with
        its object number first, little-endian)."""
        objects = set()
        for name in os.listdir(self.spool):
            if not name.endswith(".dd8"):
                continue
            try:
                with open(os.path.join(self.spool, name), "rb") as f:
                    head = f.read(8)
            except OSError:
                continue
            if head[:4] == STORED_EVENT and len(head) == 8:
                objects.add(int.from_bytes(head[4:8], "little"))
        return objects

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        # The operator log, for a look afterwards (--keep).
        with self.lock, open(os.path.join(self.workdir, "stdout.txt"), "w") as f:
            f.writelines(f"{t:.3f} {line}\n" for t, line in self.stdout_lines)


def feed(pty, rate, count, first=0, stamps=None):
    """Writes `count` lines at `rate` lines/s (all at once when rate is 0) and returns the
    seconds it took. `stamps[n]` = monotonic time right after line n's line feed was written."""
    t0 = time.monotonic()
    if rate <= 0:
        pty.write(b"".join(receiver_line(n) for n in range(first, first + count)))
        return time.monotonic() - t0
    sent = 0
    while sent < count:
        now = time.monotonic()
        due = min(count, int((now - t0) * rate) + 1)
        if due > sent:
            pty.write(b"".join(receiver_line(first + n) for n in range(sent, due)))
            if stamps is not None:
                t = time.monotonic()
                for n in range(sent, due):
                    stamps[first + n] = t
            sent = due
        else:
            time.sleep(max(0.0, t0 + sent / rate - now))
    return time.monotonic() - t0


def burst(first, count):
    """`count` receiver lines padded with bare line feeds to whole 256-byte packets, so no line
    waits for the packet time-out and the whole burst is in the queue at once."""
    data = b"".join(receiver_line(n) for n in range(first, first + count))
    return data + b"\n" * (-len(data) % 256)


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))]


def settle(count, quiet=0.3, timeout=5.0):
    """Waits until count() stops growing for `quiet` s: the server's lines reach us a little
    after the driver has done its part."""
    end = time.monotonic() + timeout
    last = count()
    while time.monotonic() < end:
        time.sleep(quiet)
        now = count()
        if now == last:
            return
        last = now


def wait_until(predicate, timeout, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


# ---------------------------------------------------------------- the run

class Bench:
    def __init__(self, build, quick):
        self.build = build
        self.quick = quick
        self.drvlarna = os.path.join(build, "src", "drvlarna")
        self.msgserver = os.path.join(build, "tools", "msgserver", "msgserver")
        self.drv_bench = os.path.join(build, "bench", "drv_bench")
        self.rows = []  # (figure, measured, target, verdict)
        self.notes = []
        self.label = ""  # which driver a note is about, when two are compared
        self.root = tempfile.mkdtemp(prefix="drvbench-", dir=os.environ.get("DRV_BENCH_DIR"))

    def row(self, figure, measured, target="", ok=None):
        verdict = "" if ok is None else ("met" if ok else "MISSED")
        self.rows.append((figure, measured, target, verdict))
        log(f"{figure}: {measured} {('(' + target + ') ' + verdict) if target else ''}")

    def note(self, text):
        if self.label:
            text = f"{self.label}: {text}"
        self.notes.append(text)
        log(text)

    def workdir(self, name):
        path = os.path.join(self.root, self.label, name)
        os.makedirs(path)
        return path

    def session(self, name, send_k8, server=None, server_port=None, log_on=False):
        """A pty and a driver on it; the caller stops both."""
        pty = Pty()
        port = server.port if server else (server_port or free_port())
        driver = Driver(self.drvlarna, self.workdir(name), pty.name, send_k8, port, log_on)
        return pty, driver

    def connected(self, driver, timeout=15):
        ok = driver.wait_log("Соединение установлено.", timeout)
        time.sleep(1.0)  # let the greeting and its replies go through
        return ok

    # -- in-process

    def run_drv_bench(self, *args):
        out = subprocess.run([self.drv_bench, *args], capture_output=True, text=True, check=True).stdout
        return {k: v for k, v in (line.split("=", 1) for line in out.splitlines() if "=" in line)}

    def inproc(self):
        lines = "1000000" if self.quick else "5000000"
        r = self.run_drv_bench("decode", "--lines", lines)
        v = float(r["decode_lines_per_s_packet256"])
        self.row("Line decode, Log off, 256-byte packets (in-process)", f"{v:,.0f} lines/s", "≥ 1,000,000 lines/s",
                 v >= 1e6)
        v = float(r["decode_lines_per_s_packet15"])
        self.row("Line decode, Log off, one line a packet (in-process)", f"{v:,.0f} lines/s", "≥ 1,000,000 lines/s",
                 v >= 1e6)
        hexdir = self.workdir("hexlog")
        r = self.run_drv_bench("hexlog", "--lines", "50000" if self.quick else "200000", "--dir", hexdir)
        self.row("Hex log on, 256-byte packets (in-process)",
                 f"{float(r['hexlog_lines_per_s_packet256']):,.0f} lines/s "
                 f"({float(r['hexlog_packets_per_s_packet256']):,.0f} packets/s)")
        self.row("Hex log on, one line a packet (in-process)",
                 f"{float(r['hexlog_lines_per_s_packet15']):,.0f} lines/s")
        spooldir = self.workdir("spool-inproc")
        r = self.run_drv_bench("spool", "--files", "2000" if self.quick else "10000", "--dir", spooldir)
        v = float(r["spool_files_per_s"])
        lost = int(r["spool_files_written"]) - int(r["spool_files_found"])
        self.row("Spool files written with the flush to disk, 17 a packet (in-process SpoolFolder)",
                 f"{v:,.0f} files/s, {lost} lost", "≥ 1,500 files/s", v >= 1500 and lost == 0)
        self.row("  one file a packet (a lone line)", f"{float(r['spool_files_per_s_single']):,.0f} files/s")
        r = self.run_drv_bench("fsync-probe", "--files", "500" if self.quick else "2000", "--dir", spooldir)
        self.row("  disk floor, 24-byte files: no sync / file fsync / + folder fsync / temp, fsync, rename, folder fsync",
                 f"{float(r['probe_files_per_s_nosync']):,.0f} / {float(r['probe_files_per_s_filesync']):,.0f} / "
                 f"{float(r['probe_files_per_s_filedirsync']):,.0f} / "
                 f"{float(r['probe_files_per_s_renamedirsync']):,.0f} files/s")

    # -- the program

    def kept_up(self, seconds, took, count):
        """The pty holds back the writer when the driver reads too slowly, where a real line
        would overrun; a feed that took longer than planned is that overrun."""
        ok = took <= seconds * 1.05 + 0.5
        self.row("  driver took the line in at line speed",
                 f"{'yes' if ok else 'NO'}: {seconds} s of lines took {took:.1f} s ({count / took:,.0f} lines/s)",
                 "no back-pressure on the line", ok)

    def account(self, server, driver, numbers):
        """Where each line went: live mtEvent, replayed from the spool, still spooled, or lost.
        Lost lines are looked up in the hex log, which tells a loss before the line protocol
        (never received) from one after it."""
        live = {o for _, _, o in server.of_type("mtEvent")}
        replayed = {o for _, _, o in server.of_type("mtStoredEvent")}
        missing = [n for n in numbers if object_of(n) not in live and object_of(n) not in replayed]
        waiting = driver.spooled_objects()
        spooled = sum(1 for n in missing if object_of(n) in waiting)
        lost = len(missing) - spooled
        text = (f"{len(numbers) - len(missing)} of {len(numbers)} delivered "
                f"({sum(1 for n in numbers if object_of(n) in live)} live, "
                f"{sum(1 for n in numbers if object_of(n) in replayed and object_of(n) not in live)} from the spool), "
                f"{spooled} still spooled, {lost} lost")
        if missing:
            hexlog = os.path.join(driver.workdir, "drvlarna.log")
            stream = ""
            if os.path.exists(hexlog):
                with open(hexlog, encoding="cp1251", errors="replace") as f:
                    stream = "".join(line.split(" - ", 1)[1].strip() + " " for line in f if " - " in line)
            received = sum(1 for n in missing if " ".join(f"{b:02X}" for b in receiver_line(n)) in stream)
            with driver.lock:
                err = "; ".join(driver.stderr_lines[1:6])
                port = "; ".join(line for _, line in driver.stdout_lines if "Порт" in line)
            self.note(f"{len(missing)} lines not delivered (first {missing[:5]}); {received} of them are in the hex "
                      f"log (received by the line protocol); driver stderr: {err or 'nothing'}"
                      + (f"; operator log: {port}" if port else ""))
        return len(missing) == 0, text

    def spool_burst(self):
        """Lines as fast as the pty takes them, SendK8=0: spool files per second in the program."""
        count = 3000 if self.quick else 15000
        pty, driver = self.session("spool-burst", send_k8=False)
        try:
            time.sleep(0.5)
            samples = []
            done = threading.Event()

            def sample():
                while not done.is_set():
                    samples.append((time.monotonic(), driver.spool_files()))
                    time.sleep(0.02)

            sampler = threading.Thread(target=sample)
            sampler.start()
            feed(pty, 0, count)
            wait_until(lambda: driver.spool_files() >= count, 60)
            time.sleep(0.5)
            done.set()
            sampler.join()
            total = driver.spool_files()
            files = driver.spool_files(events_only=True)
            first = next((t for t, n in samples if n > total - files), None)
            last = next((t for t, n in samples if n >= total), samples[-1][0])
            rate = (files / (last - first)) if first and last > first else 0.0
            self.row("Spool files written in the program, lines as fast as the pty takes them",
                     f"{rate:,.0f} files/s, {count - files} of {count} lost", "≥ 1,500 files/s",
                     rate >= 1500 and files == count)
        finally:
            driver.stop()
            pty.close()

    def sustained_spool(self):
        seconds = 10 if self.quick else 60
        count = LINE_RATE_115200 * seconds
        pty, driver = self.session("sustained-spool", send_k8=False)
        try:
            time.sleep(1.0)
            cpu = CpuWindow(driver.pid)
            cpu.start()
            took = feed(pty, LINE_RATE_115200, count)
            time.sleep((PACKET_TIMEOUT_MS + 3 * POLL_MS) / 1000)
            pct = cpu.stop()
            wait_until(lambda: driver.spool_files(events_only=True) >= count, 10)
            files = driver.spool_files(events_only=True)
            self.row(f"768 lines/s for {seconds} s, SendK8=0: spool files = lines sent",
                     f"{files} of {count} ({count - files} lost)", "none lost", files == count)
            self.kept_up(seconds, took, count)
            self.row("  driver CPU during it (one core)", f"{pct:.1f} %", "< 10 %", pct < 10)
            self.note(f"768 lines/s, SendK8=0: {cpu.wakeups_text()}")
        finally:
            driver.stop()
            pty.close()

    def sustained_link(self):
        seconds = 10 if self.quick else 60
        count = LINE_RATE_115200 * seconds
        server = MsgServer(self.msgserver)
        pty, driver = self.session("sustained-link", send_k8=True, server=server, log_on=True)
        try:
            if not self.connected(driver):
                self.row("768 lines/s through a prompt msgserver", "no connection", "all delivered", False)
                return
            cpu = CpuWindow(driver.pid)
            cpu.start()
            took = feed(pty, LINE_RATE_115200, count)
            time.sleep((PACKET_TIMEOUT_MS + 3 * POLL_MS) / 1000)
            pct = cpu.stop()
            self.kept_up(seconds, took, count)
            wait_until(lambda: len(server.of_type("mtEvent")) >= count, 10)
            events = server.of_type("mtEvent")
            rate = len(events) / (events[-1][0] - events[0][0]) if len(events) > 1 else 0.0
            live = len(events)
            ok, text = self.account(server, driver, range(count))
            self.row(f"768 lines/s for {seconds} s through msgserver (Log on)", text, "all live as mtEvent, none lost",
                     ok and live == count)
            self.row("  mtEvent rate delivered", f"{rate:,.0f} messages/s", "768 messages/s offered")
            self.row("  driver CPU during it (one core)", f"{pct:.1f} %", "< 10 %", pct < 10)
            self.note(f"768 lines/s, link on: {cpu.wakeups_text()}")
        finally:
            driver.stop()
            pty.close()
            server.stop()
        self.link_capacity()

    def link_capacity(self):
        """A burst far above the line rate: how fast the link empties its queue."""
        count = 2000
        server = MsgServer(self.msgserver)
        pty, driver = self.session("link-capacity", send_k8=True, server=server)
        try:
            if not self.connected(driver):
                return
            feed(pty, 0, count)
            # What a full queue refused is spooled and, with the link up, replayed at once.
            arrived = lambda: len(server.of_type("mtEvent")) + len(server.of_type("mtStoredEvent"))
            wait_until(lambda: arrived() + driver.spool_files(events_only=True) >= count, 30)
            time.sleep(0.5)
            events = server.of_type("mtEvent")
            stored = server.of_type("mtStoredEvent")
            rate = (len(events) - 1) / (events[-1][0] - events[0][0]) if len(events) > 1 else 0.0
            gaps = sorted((b[0] - a[0]) * 1000 for a, b in zip(events, events[1:])) or [0.0]
            self.row("Link capacity, queue kept full by a burst",
                     f"{rate:,.0f} messages/s ({len(events)} sent live, {len(stored)} spooled on a full queue "
                     f"and replayed, {driver.spool_files(events_only=True)} still spooled; gap between live "
                     f"messages median {gaps[len(gaps) // 2]:.1f} ms, max {gaps[-1]:.0f} ms)")
        finally:
            driver.stop()
            pty.close()
            server.stop()

    def latency(self):
        seconds = 10 if self.quick else 30
        rate = 10
        count = rate * seconds
        server = MsgServer(self.msgserver)
        pty, driver = self.session("latency", send_k8=True, server=server, log_on=True)
        try:
            if not self.connected(driver):
                self.row("Latency", "no connection", "p99 ≤ 215 ms", False)
                return
            stamps = {}
            first = 50000
            feed(pty, rate, count, first=first, stamps=stamps)
            wait_until(lambda: len(server.of_type("mtEvent")) >= count, 5)
            ok, text = self.account(server, driver, list(stamps))
            self.row("  where the latency run's lines went", text, "none lost", ok)
            arrivals = {o: t for t, _, o in server.of_type("mtEvent")}
            lat = sorted((arrivals[object_of(n)] - stamps[n]) * 1000 for n in stamps if object_of(n) in arrivals)
            if not lat:
                self.row("Latency", "nothing arrived", "p99 ≤ 215 ms", False)
                return

            def pct(p):
                return lat[min(len(lat) - 1, int(p / 100 * len(lat)))]

            self.row(f"Latency line feed → mtEvent at msgserver, {rate} lines/s for {seconds} s (Log on)",
                     f"p50 {pct(50):.1f} / p99 {pct(99):.1f} / max {lat[-1]:.1f} ms "
                     f"({len(lat)} of {count})",
                     "p99 ≤ 215 ms (floor 200 + 5)", pct(99) <= 215 and len(lat) == count)
        finally:
            driver.stop()
            pty.close()
            server.stop()

    def turn(self):
        """The driver's share of a request-reply turn: from msgserver's reply written to the next
        queued frame read, as the server times it. Bursts of 85 lines (5 whole packets) fit the
        100-slot queue, so every event after a burst's first was waiting when its turn began."""
        bursts, size = (4, 85) if self.quick else (12, 85)
        server = MsgServer(self.msgserver, timing=True)
        pty, driver = self.session("turn", send_k8=True, server=server, log_on=True)
        try:
            if not self.connected(driver):
                self.row("Turn share, queued live events", "no connection", "p50 ≤ 0.3 ms", False)
                return
            for b in range(bursts):
                pty.write(burst(b * 1000, size))
                time.sleep(1.0)
            wait_until(lambda: len(server.of_type("mtEvent")) >= bursts * size, 10)
            with server.lock:
                us = [t for pt, po, ct, co, t in server.turns
                      if pt == ct == "mtEvent" and co == po + 1 and (co - object_of(0)) % 1000 < size]
            ok, text = self.account(server, driver, [b * 1000 + i for b in range(bursts) for i in range(size)])
            if not us:
                self.row("Turn share, queued live events", f"no turns timed; {text}", "p50 ≤ 0.3 ms", False)
                return
            p50, p90 = percentile(us, 50) / 1000, percentile(us, 90) / 1000
            self.row(f"Turn share: msgserver's reply written → next queued mtEvent read, {bursts} bursts of {size} "
                     "lines (Log on)",
                     f"p50 {p50:.3f} / p90 {p90:.3f} / max {max(us) / 1000:.1f} ms ({len(us)} turns)",
                     "p50 ≤ 0.3 ms", p50 <= 0.3)
            self.row("  where the turn run's lines went", text, "none lost", ok)
        finally:
            driver.stop()
            pty.close()
            server.stop()

    def live_figures(self, server, driver, numbers, t0, took):
        """Of the lines `numbers` fed from t0 for `took` s: the rate they reached the server as
        mtEvent (count over the time from the first line fed to the last arrival) and where each
        went."""
        wanted = {object_of(n) for n in numbers}
        arrivals = [t for t, _, o in server.of_type("mtEvent") if o in wanted]
        span = max(took, (arrivals[-1] - t0) if arrivals else 0.0)
        rate = len(arrivals) / span if span > 0 else 0.0
        ok, text = self.account(server, driver, numbers)
        frames = [t for t, _, _ in server.messages if t >= t0]
        gap = max((b - a for a, b in zip(frames, frames[1:])), default=0.0) * 1000
        return rate, len(arrivals), ok, text, gap

    def live(self):
        """768 lines/s through a prompt msgserver with nothing else to do."""
        seconds = 10 if self.quick else 30
        count = LINE_RATE_115200 * seconds
        server = MsgServer(self.msgserver)
        pty, driver = self.session("live", send_k8=True, server=server, log_on=True)
        try:
            if not self.connected(driver):
                self.row("Live lines/s, nothing spooled", "no connection", "768 lines/s", False)
                return
            t0 = time.monotonic()
            took = feed(pty, LINE_RATE_115200, count)
            wait_until(lambda: len(server.of_type("mtEvent")) >= count, 10)
            rate, live, ok, text, gap = self.live_figures(server, driver, range(count), t0, took)
            self.row(f"Live: {LINE_RATE_115200} lines/s offered for {seconds} s, nothing spooled (Log on)",
                     f"{rate:,.0f} lines/s as mtEvent; {text}; longest gap between frames {gap:.0f} ms",
                     "768 lines/s, all live, none lost", live == count and ok)
        finally:
            driver.stop()
            pty.close()
            server.stop()

    def live_after_dump(self):
        """The main thread busy writing spool files: the receiver dumps 2,000 lines at once (a
        buffer emptied after a line fault), more than the 100-slot queue holds, so the rest is
        spooled; the line then goes on at 768 lines/s. How many of those go out live."""
        seconds = 10 if self.quick else 30
        dump, count = 2000, LINE_RATE_115200 * seconds
        server = MsgServer(self.msgserver)
        pty, driver = self.session("live-after-dump", send_k8=True, server=server, log_on=True)
        try:
            if not self.connected(driver):
                self.row("Live lines/s after a dump", "no connection", "768 lines/s", False)
                return
            pty.write(burst(70000, dump))
            t0 = time.monotonic()
            took = feed(pty, LINE_RATE_115200, count)
            numbers = list(range(count))
            wait_until(lambda: len(server.of_type("mtEvent")) + len(server.of_type("mtStoredEvent")) >=
                       dump + count, 20)
            settle(lambda: len(server.messages))
            rate, live, ok, text, gap = self.live_figures(server, driver, numbers, t0, took)
            self.row(f"Live while spooling: a {dump:,}-line dump, then {LINE_RATE_115200} lines/s for {seconds} s "
                     "(Log on)",
                     f"{rate:,.0f} lines/s as mtEvent; of the {count} live-rate lines: {text}; longest gap between "
                     f"frames {gap:.0f} ms", "768 lines/s live")
            self.kept_up(seconds, took, count)
        finally:
            driver.stop()
            pty.close()
            server.stop()

    def backlog(self, name, files):
        """A work folder whose spool holds `files` event files, and a free port for its server."""
        work = self.workdir(name)
        subprocess.run([self.drv_bench, "make-spool", "--dir", os.path.join(work, "spool"), "--files", str(files)],
                       check=True, capture_output=True)
        return work, free_port()

    def live_during_drain(self):
        """The other busy time: the server comes back to a 2,000-file backlog while the line runs
        at 768 lines/s. The live lines and the replay share the link."""
        seconds = 10 if self.quick else 30
        files, count = 2000, LINE_RATE_115200 * seconds
        work, port = self.backlog("live-during-drain", files)
        pty = Pty()
        driver, server = None, None
        try:
            driver = Driver(self.drvlarna, work, pty.name, True, port, log_on=True)
            time.sleep(1.0)
            server = MsgServer(self.msgserver, port=port)
            appeared = time.monotonic()
            # The live lines start with the connection, so that the drain runs alongside them.
            if not driver.wait_log("Соединение установлено.", 15):
                self.row("Live lines/s during a drain", "no connection", "768 lines/s", False)
                return
            t0 = time.monotonic()
            first = 20000  # clear of the backlog's object numbers
            took = feed(pty, LINE_RATE_115200, count, first=first)
            numbers = range(first, first + count)
            wait_until(lambda: len(server.of_type("mtEvent")) >= count, 10)
            settle(lambda: len(server.of_type("mtEvent")))
            t1 = time.monotonic()
            rate, live, ok, text, gap = self.live_figures(server, driver, numbers, t0, took)
            stored = [t for t, _, _ in server.of_type("mtStoredEvent")]
            left = sum(1 for o in driver.spooled_objects() if object_of(0) <= o < object_of(files))
            self.row(f"Live during a drain: {LINE_RATE_115200} lines/s for {seconds} s while a {files:,}-file "
                     "backlog replays (Log on)",
                     f"{rate:,.0f} lines/s as mtEvent; {text}; longest gap between frames {gap:.0f} ms",
                     "768 lines/s live")
            if left == 0 and stored:
                replay = f"backlog gone {stored[-1] - appeared:.1f} s after the server appeared"
            else:
                replay = f"{len(stored)} files sent in {t1 - appeared:.0f} s, {left} of the backlog left"
            self.row("  the backlog meanwhile", f"{replay} (the live lines began {t0 - appeared:.1f} s after it)")
        finally:
            if driver:
                driver.stop()
            pty.close()
            if server:
                server.stop()

    def drain(self):
        """A backlog of 2,000 spool files, then the server appears: files/s until the spool is
        empty or the time allowed is over, and the turn inside the drain (acknowledgement written
        → next mtStoredEvent read)."""
        files = 2000
        allowed = 30 if self.quick else 60
        work, port = self.backlog("drain", files)
        pty = Pty()
        driver, server = None, None
        try:
            driver = Driver(self.drvlarna, work, pty.name, True, port)
            time.sleep(2.0)  # no server yet: the files stay
            before = driver.spool_files()
            server = MsgServer(self.msgserver, port=port, timing=True)
            t0 = time.monotonic()
            wait_until(lambda: driver.spool_files() == 0, allowed, step=0.1)
            took = time.monotonic() - t0
            settle(lambda: len(server.messages))
            stored = server.of_type("mtStoredEvent")
            left = driver.spool_files()
            rate = (len(stored) - 1) / (stored[-1][0] - stored[0][0]) if len(stored) > 1 else 0.0
            self.row(f"Spool drain, {files:,}-file backlog, then the server appears",
                     f"{rate:,.1f} files/s ({len(stored)} of {before} sent, {left} left after {took:.0f} s)",
                     "≥ 200 files/s", rate >= 200)
            with server.lock:
                us = [t for pt, _, ct, _, t in server.turns if pt == ct == "mtStoredEvent"]
            if us:
                self.row("  turn in the drain: acknowledgement written → next mtStoredEvent read",
                         f"p50 {percentile(us, 50) / 1000:.3f} / p90 {percentile(us, 90) / 1000:.3f} / "
                         f"max {max(us) / 1000:.1f} ms ({len(us)} turns)")
        finally:
            if driver:
                driver.stop()
            pty.close()
            if server:
                server.stop()

    def idle_connected(self):
        seconds = 30 if self.quick else 60
        server = MsgServer(self.msgserver)
        pty, driver = self.session("idle-connected", send_k8=True, server=server)
        try:
            self.connected(driver)
            cpu = CpuWindow(driver.pid)
            cpu.start()
            time.sleep(seconds)
            pct = cpu.stop()
            self.row(f"Idle CPU, connected to an idle msgserver (keep-alives only), {seconds} s", f"{pct:.2f} %",
                     "< 0.5 %", pct < 0.5)
            self.note(f"idle, connected: {cpu.wakeups_text()}")
        finally:
            driver.stop()
            pty.close()
            server.stop()

    def idle(self):
        seconds = 15 if self.quick else 60
        cases = [("open pty, no data, SendK8=0", "none"), ("idle msgserver (keep-alives only)", "server"),
                 ("waiting for an absent server", "absent")]
        for title, kind in cases:
            server = MsgServer(self.msgserver) if kind == "server" else None
            pty, driver = self.session(f"idle-{kind}", send_k8=(kind != "none"), server=server)
            try:
                if kind == "server":
                    self.connected(driver)
                else:
                    time.sleep(2.0)
                cpu = CpuWindow(driver.pid)
                cpu.start()
                time.sleep(seconds)
                pct = cpu.stop()
                self.row(f"Idle CPU, {title}, {seconds} s", f"{pct:.2f} %", "< 0.5 %", pct < 0.5)
                self.note(f"idle, {title}: {cpu.wakeups_text()}")
            finally:
                driver.stop()
                pty.close()
                if server:
                    server.stop()

    def memory(self):
        seconds = 60 if self.quick else 600
        server = MsgServer(self.msgserver)
        pty, driver = self.session("memory", send_k8=True, server=server, log_on=True)
        try:
            self.connected(driver)
            start = vm_rss_kb(driver.pid)
            samples = [(0.0, start)]
            t0 = time.monotonic()
            n = 0
            while time.monotonic() - t0 < seconds:
                chunk = min(10.0, seconds - (time.monotonic() - t0))
                count = int(LINE_RATE_115200 * chunk)
                if count <= 0:
                    break
                feed(pty, LINE_RATE_115200, count, first=n)
                n += count
                samples.append((time.monotonic() - t0, vm_rss_kb(driver.pid)))
            end = samples[-1][1]
            peak = max(kb for _, kb in samples)
            # Flat: nothing grows once the first tenth of the run is over.
            settled = next(kb for t, kb in samples if t >= seconds / 10)
            growth = end - settled
            self.row(f"Resident memory, start → after {seconds // 60} min at 768 lines/s (Log on, link up)",
                     f"{start / 1024:.1f} → {end / 1024:.1f} MB (peak {peak / 1024:.1f}, "
                     f"{growth / 1024:+.1f} MB after the first tenth)",
                     "< 30 MB and flat", peak < 30 * 1024 and growth < 1024)
            self.note("VmRSS samples (s: kB): " + ", ".join(f"{t:.0f}: {kb}" for t, kb in samples))
        finally:
            driver.stop()
            pty.close()
            server.stop()


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    mem = "?"
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
    load = open("/proc/loadavg").read().split()[:3]
    return (f"nproc {os.cpu_count()}, CPU {model}, memory {mem}, kernel {os.uname().release}, "
            f"load average at the end {' '.join(load)}")


def build_commit(build):
    """The source commit a build directory was configured from, as far as git can tell."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            source = next(line.split("=", 1)[1].strip() for line in f if line.startswith("CMAKE_HOME_DIRECTORY:"))
        out = subprocess.run(["git", "-C", source, "log", "-1", "--format=%h"], capture_output=True,
                             text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", source, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True).stdout.strip()
        return out + (" + uncommitted changes" if dirty else "")
    except (OSError, StopIteration, subprocess.CalledProcessError):
        return "?"


def load1():
    return open("/proc/loadavg").read().split()[0]


def compare(bench, old_build, names):
    """Each figure with the old driver, then at once with the new, so both meet the same
    machine load. Rows are paired by their title."""
    drivers = [("before", os.path.join(old_build, "src", "drvlarna")), ("after", bench.drvlarna)]
    order, cells = [], {}
    for name in names:
        for label, exe in drivers:
            log(f"--- {name} ({label})")
            bench.drvlarna, bench.label = exe, label
            load = load1()
            first = len(bench.rows)
            try:
                getattr(bench, name)()
            except Exception as e:  # one broken figure must not hide the others
                bench.row(name, f"failed: {e}", "", False)
            for figure, measured, target, verdict in bench.rows[first:]:
                if figure not in cells:
                    order.append(figure)
                    cells[figure] = {"target": target}
                cells[figure][label] = (measured, verdict, load)
    bench.label = ""
    header = ("Figure", "Before", "After", "Target", "Verdict before / after", "Load (1 min) before / after")
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    missed = False
    for figure in order:
        c = cells[figure]
        b, a = c.get("before", ("—", "", "")), c.get("after", ("—", "", ""))
        missed = missed or a[1] == "MISSED"
        verdict = f"{b[1] or '—'} / {a[1] or '—'}" if (b[1] or a[1]) else ""
        lines.append("| " + " | ".join((figure, b[0], a[0], c["target"], verdict, f"{b[2]} / {a[2]}")) + " |")
    return "\n".join(lines), missed


def table(rows):
    header = ("Figure", "Measured", "Target", "Verdict")
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default="", help="comma list of: " + ", ".join(ALL))
    parser.add_argument("--markdown", help="also write the table and notes to this file")
    parser.add_argument("--keep", action="store_true", help="keep the work folders")
    parser.add_argument("--compare", metavar="OLD_BUILD_DIR",
                        help="run the figures of " + ", ".join(COMPARED) + " with this build's drvlarna too")
    args = parser.parse_args()

    bench = Bench(os.path.abspath(args.build), args.quick)
    names = COMPARED if args.compare else ALL
    chosen = [name for name in names if not args.only or name in args.only.split(",")]
    started = time.monotonic()
    try:
        if args.compare:
            body, missed = compare(bench, os.path.abspath(args.compare), chosen)
        else:
            for name in chosen:
                log(f"--- {name}")
                try:
                    getattr(bench, name)()
                except Exception as e:  # one broken figure must not hide the others
                    bench.row(name, f"failed: {e}", "", False)
            body, missed = table(bench.rows), any(r[3] == "MISSED" for r in bench.rows)
    finally:
        if not args.keep:
            shutil.rmtree(bench.root, ignore_errors=True)

    builds = (f"before: {args.compare} = {build_commit(os.path.abspath(args.compare))}\n"
              f"after: {args.build} = {build_commit(bench.build)}\n" if args.compare else f"build {args.build}\n")
    text = (f"Machine: {machine()}\n"
            f"Run: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {'--quick' if args.quick else 'full'}, "
            f"{time.monotonic() - started:.0f} s; {builds}\n"
            + body + "\n\nNotes:\n" + "\n".join(f"- {n}" for n in bench.notes) + "\n")
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text)
    return 1 if missed else 0


ALL = ["inproc", "spool_burst", "sustained_spool", "sustained_link", "turn", "live_after_dump", "live_during_drain",
       "latency", "drain", "idle", "memory"]
# What the delivery rework moves, for --compare.
COMPARED = ["turn", "live", "live_after_dump", "live_during_drain", "drain", "latency", "idle_connected"]

if __name__ == "__main__":
    sys.exit(main())
