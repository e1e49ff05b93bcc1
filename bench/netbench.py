"""Network figures for scripts/bench: the tool flashing tessan-sim through a
real ser2net (chardelay off) over rfc2217:// and socket:// and, through its
TLS accepter with a client certificate, over rfc2217+tls://; through sredird
over rfc2217:// (started per connection by socat, as inetd would), and
beside them a plain Python client doing the same dialogue over ser2net's
raw port (write a record, read one status byte, as serial-library flashers
do), all answering at once. Each transfer has a server of its own on free
loopback ports."""

import os
import re
import shutil
import socket
import statistics
import subprocess
import time

READY_S = 5


def ser2net_program():
    for path in ("/usr/sbin/ser2net", shutil.which("ser2net") or ""):
        if path and os.access(path, os.X_OK):
            return path
    return None


SREDIRD = "/usr/sbin/sredird"
SOCAT = "/usr/bin/socat"
OPENSSL = shutil.which("openssl")
# Makes the certificates of the network tests: a lab authority, the
# server's for 127.0.0.1, a client's that ser2net's authdir admits.
MAKE_CERTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "net", "make-test-certs")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """Whether something listens on 127.0.0.1:port, from the kernel's table
    (connecting to check would make ser2net open the device)."""
    want = ":%04X" % port
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if fields[3] == "0A" and fields[1].endswith(want):
                return True
    return False


class Ser2net:
    """ser2net for `device` on two free ports, RFC 2217 and raw; with `certs`
    (a folder of make-test-certs) both inside TLS, demanding a client
    certificate that its authdir there admits."""

    def __init__(self, program, work, name, device, certs=None):
        self.rfc2217, self.raw = free_port(), free_port()
        self.certs = certs
        tcp = "ssl(key=%s/server.key,cert=%s/server.pem,clientauth),tcp" % (certs, certs) if certs else "tcp"
        config = os.path.join(work, name + ".yaml")
        with open(config, "w") as f:
            for label, accepter, port in (("rfc2217", "telnet(rfc2217)," + tcp, self.rfc2217),
                                          ("raw", tcp, self.raw)):
                f.write("connection: &%s\n  accepter: %s,127.0.0.1,%d\n"
                        "  connector: serialdev,%s,115200n81,local\n"
                        "  options:\n    kickolduser: true\n    chardelay: false\n" % (label, accepter, port, device))
                if certs:
                    f.write("    authdir: %s/auth\n" % certs)
        log = open(os.path.join(work, name + ".ser2net.log"), "wb")
        self.proc = subprocess.Popen([program, "-n", "-c", config, "-P", os.path.join(work, name + ".pid")],
                                     stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()
        end = time.time() + READY_S
        while not (listening(self.rfc2217) and listening(self.raw)):
            if time.time() > end or self.proc.poll() is not None:
                self.stop()
                raise RuntimeError("ser2net did not start (see %s.ser2net.log)" % name)
            time.sleep(0.01)

    def url(self, scheme):
        port = self.rfc2217 if scheme.startswith("rfc2217") else self.raw
        if not self.certs:
            return "%s://127.0.0.1:%d" % (scheme, port)
        c = self.certs
        return "%s+tls://127.0.0.1:%d?ca=%s/ca.pem&cert=%s/client.pem&key=%s/client.key" % (scheme, port, c, c, c)

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Sredird:
    """sredird for `device`, one instance per connection, as a lab runs it."""

    def __init__(self, work, name, device):
        self.port = free_port()
        log = open(os.path.join(work, name + ".sredird.log"), "wb")
        command = "EXEC:%s 3 %s %s" % (SREDIRD, device, os.path.join(work, name + ".LCK"))
        self.proc = subprocess.Popen([SOCAT, "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % self.port, command],
                                     stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
        log.close()
        end = time.time() + READY_S
        while not listening(self.port):
            if time.time() > end or self.proc.poll() is not None:
                self.stop()
                raise RuntimeError("sredird's socat did not start (see %s.sredird.log)" % name)
            time.sleep(0.01)

    def url(self, scheme):
        return "rfc2217://127.0.0.1:%d" % self.port

    def stop(self):
        # socat and the sredird it started for the connection, if any:
        # sredird outlives the SIGTERM (and then spins), so whatever is left
        # of the group once socat has gone is killed.
        try:
            os.killpg(self.proc.pid, 15)
        except ProcessLookupError:
            pass
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            pass
        try:
            os.killpg(self.proc.pid, 9)
        except ProcessLookupError:
            pass
        self.proc.wait()


def records_of(image_text):
    data = bytes.fromhex(image_text)
    out, at = [], 0
    while at < len(data):
        n = 16 * data[at] + 5
        out.append(data[at:at + n])
        at += n
    return out


def python_client(port, records):
    """The dialogue over a raw TCP port: the trigger, a reconnect, the
    greeting, then each record and its status. Raises on any failure."""
    def connect():
        s = socket.create_connection(("127.0.0.1", port), timeout=2)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return s

    s = connect()
    s.sendall(b"BOOT\r\n")
    reply = b""
    while not reply.endswith(b"\r\n"):
        chunk = s.recv(64)
        if not chunk:
            break
        reply += chunk
    s.close()
    time.sleep(0.5)
    end = time.time() + 10
    while True:
        s = connect()
        greeting = b""
        try:
            while not greeting.endswith(b"+"):
                chunk = s.recv(256)
                if not chunk:
                    break
                greeting += chunk
        except socket.timeout:
            pass
        if greeting.endswith(b"+"):
            break
        s.close()  # the device was not there yet
        if time.time() > end:
            raise RuntimeError("no greeting through ser2net")
        time.sleep(0.2)
    for record in records:
        s.sendall(record)
        if s.recv(1) != b"\x00":
            raise RuntimeError("a record was not accepted")
    s.close()


def record_span_us(sim_log):
    """From a tessan-sim log: microseconds from the first record's first byte
    to the last status, or None if the log lacks either."""
    first = re.search(r"^\d+ first-record-start (\d+)$", sim_log, re.M)
    last = re.search(r"^\d+ last-status (\d+)$", sim_log, re.M)
    if not first or not last:
        return None
    return int(last.group(1)) - int(first.group(1))


def sim_record_us(sim):
    """Waits for the sim and returns its record_span_us."""
    sim["proc"].communicate(timeout=120)
    log = open(sim["log"]).read()
    us = record_span_us(log)
    if sim["proc"].returncode != 0 or us is None:
        raise RuntimeError("the python client's transfer failed: " + log[-300:])
    return us


def stop_sim(sim):
    """Kills a sim that a failed transfer left running; one that finished
    has been waited for already."""
    if sim["proc"].poll() is None:
        sim["proc"].kill()
        sim["proc"].wait()


def make_certs(work, log):
    """The test certificates in work/certs, or None (logged) where openssl
    is missing or they could not be made."""
    folder = os.path.join(work, "certs")
    if os.path.exists(os.path.join(folder, "complete")):
        return folder
    os.makedirs(folder, exist_ok=True)
    if OPENSSL is None or subprocess.run(["bash", MAKE_CERTS, folder], stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
        log("openssl not found or the certificates could not be made: no TLS column")
        return None
    return folder


def measure(progs, work, images, runs, start_sim, start_tool, finish_transfer, log):
    """Per record size, medians of `runs` runs: us per record for the tool
    over rfc2217:// and socket:// through ser2net, over rfc2217+tls://
    through its TLS accepter (where openssl makes the certificates; else
    None), over rfc2217:// through sredird (where it and socat are
    installed; else None) and for the Python client; None without runs of 0
    or without ser2net (which is logged)."""
    if runs <= 0:
        return None
    program = ser2net_program()
    if program is None:
        log("ser2net not found: no network figures")
        return None
    modes = ("rfc2217", "rfc2217_tls", "socket", "sredird", "python")
    have_sredird = os.access(SREDIRD, os.X_OK) and os.access(SOCAT, os.X_OK)
    if not have_sredird:
        log("sredird or socat not found: no sredird column")
        modes = tuple(m for m in modes if m != "sredird")
    certs = make_certs(work, log)
    if certs is None:
        modes = tuple(m for m in modes if m != "rfc2217_tls")
    times = {size: {m: [] for m in modes} for size in images}
    for r in range(runs):
        log("through ser2net: round %d of %d" % (r + 1, runs))
        for size, (count, _, path) in images.items():
            records = records_of(open(path).read())
            for mode in modes:
                name = "net%s%d-%d" % (mode, size, r)
                sim = start_sim(progs, work, name, False)
                server = None
                try:
                    if mode == "sredird":
                        server = Sredird(work, name, sim["port"])
                    else:
                        server = Ser2net(program, work, name, sim["port"],
                                         certs if mode == "rfc2217_tls" else None)
                    if mode == "python":
                        python_client(server.raw, records)
                        us = sim_record_us(sim)
                    else:
                        scheme = "socket" if mode == "socket" else "rfc2217"
                        us = finish_transfer(start_tool(progs, work, sim, path, server.url(scheme)))["us"]
                finally:
                    if server is not None:
                        server.stop()
                    # Left running, it would hold its pty until its own
                    # timeout, after the bench has given up.
                    stop_sim(sim)
                times[size][mode].append(us / count)
    return {str(size): {m: round(statistics.median(v), 1) if v else None for m, v in t.items()}
            for size, t in times.items()}


def tls_ratio(network, size="261"):
    """The per-record time through ser2net with TLS over the same without
    (rfc2217+tls:// over rfc2217://, the same run's medians), or None."""
    n = (network or {}).get(size) or {}
    if not n.get("rfc2217_tls") or not n.get("rfc2217"):
        return None
    return round(n["rfc2217_tls"] / n["rfc2217"], 3)


def measure_tls_line_rate(progs, work, image, runs, start_sim, start_tool, finish_transfer, log):
    """The per-record time at line rate through ser2net over rfc2217+tls://
    over the same over rfc2217://, `runs` pairs on `image` (count, path),
    medians; None without ser2net, certificates or runs."""
    program = ser2net_program()
    certs = make_certs(work, log) if program and runs > 0 else None
    if certs is None:
        return None
    count, path = image
    times = {False: [], True: []}
    for r in range(runs):
        log("through ser2net at line rate, with TLS and without: round %d of %d" % (r + 1, runs))
        for tls in (False, True):
            name = "netline%d-%d" % (tls, r)
            sim = start_sim(progs, work, name, True)
            server = None
            try:
                server = Ser2net(program, work, name, sim["port"], certs if tls else None)
                us = finish_transfer(start_tool(progs, work, sim, path, server.url("rfc2217")))["us"]
            finally:
                if server is not None:
                    server.stop()
                stop_sim(sim)
            times[tls].append(us / count)
    return round(statistics.median(times[True]) / statistics.median(times[False]), 4)
