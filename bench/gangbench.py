"""The many-boards figures for scripts/bench: tessan-gang flashing 8 boards
(tessan-sim at line rate) at once against one board alone with tessan,
through pseudo-terminals and through one ser2net serving all eight, and the
share of a core that tessan-gang itself (not its children) uses meanwhile;
and the 8 boards over ptys again with the station view served and 3 viewers
reading its event stream."""

import os
import socket
import statistics
import subprocess
import threading
import time

import netbench

# The line-rate image of the parallel mode: 502 records of 261 bytes,
# about 11.7 s on the wire, 14.3 s with the handshake.
BOARDS = 8
# Viewers on the station view's event stream in the "viewers" round.
VIEWERS = 3


class Ser2netForMany(netbench.Ser2net):
    """One ser2net serving several devices, each on an RFC 2217 port of its own."""

    def __init__(self, program, work, name, devices):
        self.ports = [netbench.free_port() for _ in devices]
        config = os.path.join(work, name + ".yaml")
        with open(config, "w") as f:
            for i, (device, port) in enumerate(zip(devices, self.ports)):
                f.write("connection: &board%d\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                        "  connector: serialdev,%s,115200n81,local\n"
                        "  options:\n    kickolduser: true\n    chardelay: false\n" % (i, port, device))
        log = open(os.path.join(work, name + ".ser2net.log"), "wb")
        self.proc = subprocess.Popen([program, "-n", "-c", config, "-P", os.path.join(work, name + ".pid")],
                                     stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()
        end = time.time() + netbench.READY_S
        while not all(netbench.listening(p) for p in self.ports):
            if time.time() > end or self.proc.poll() is not None:
                self.stop()
                raise RuntimeError("ser2net did not start (see %s.ser2net.log)" % name)
            time.sleep(0.01)

    def urls(self):
        return ["rfc2217://127.0.0.1:%d" % p for p in self.ports]


def own_cpu_s(proc):
    """Waits for `proc` to end and returns the user + system seconds of that
    process alone: read from /proc while it is a zombie, before it is
    reaped, when its own times are final and its children's are apart."""
    os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)
    with open("/proc/%d/stat" % proc.pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    cpu = (int(fields[11]) + int(fields[12])) / ticks  # utime, stime
    proc.wait()
    return cpu


def check_sims(sims, what):
    for sim in sims:
        sim["proc"].communicate(timeout=120)
        log = open(sim["log"]).read() if os.path.exists(sim["log"]) else ""
        if sim["proc"].returncode != 0 or "result ok" not in log:
            raise RuntimeError("%s: the target on %s did not get the whole image" % (what, sim["port"]))


def served_port(out_path, proc):
    """The port of the station view, from the gang's first line."""
    lead = "Serving the station view on http://127.0.0.1:"
    end = time.time() + 10
    while time.time() < end and proc.poll() is None:
        with open(out_path, "rb") as f:
            first = f.read().decode(errors="replace")
        if first.startswith(lead) and "/\n" in first:
            return int(first[len(lead):first.index("/", len(lead))])
        time.sleep(0.005)
    raise RuntimeError("tessan-gang did not say where it serves")


def view(port, got):
    """One viewer: reads the event stream until the gang ends it."""
    with socket.create_connection(("127.0.0.1", port), timeout=120) as s:
        s.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        while True:
            data = s.recv(65536)
            if not data:
                break
            got.append(data)


def run_gang(gang, work, name, image_path, ports, sims, viewers=0):
    """tessan-gang on `ports` (served, with `viewers` on its event stream);
    returns (wall seconds, its own CPU seconds)."""
    out_path = os.path.join(work, name + ".gang.out")
    err_path = os.path.join(work, name + ".gang.err")
    served = ["--serve", "0"] if viewers else []
    threads, got = [], []
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        start = time.perf_counter()
        proc = subprocess.Popen([gang, image_path] + ports + served, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        if viewers:
            port = served_port(out_path, proc)
            threads = [threading.Thread(target=view, args=(port, got)) for _ in range(viewers)]
            for t in threads:
                t.start()
        cpu = own_cpu_s(proc)
        wall = time.perf_counter() - start
    for t in threads:
        t.join()
    if viewers and b"summary" not in b"".join(got):
        raise RuntimeError("%s: the viewers did not get the summary" % name)
    text = open(out_path, "rb").read().decode(errors="replace")
    if proc.returncode != 0 or os.path.getsize(err_path) != 0:
        raise RuntimeError("%s: tessan-gang ended with %d: %s" % (name, proc.returncode, text[-400:]))
    check_sims(sims, name)
    return wall, cpu


def run_alone(progs, work, name, image_path, port, sims):
    """tessan alone on `port`; returns its wall seconds."""
    start = time.perf_counter()
    done = subprocess.run([progs.tessan, image_path, "-COM", port], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=120)
    wall = time.perf_counter() - start
    if done.returncode != 0 or done.stderr:
        raise RuntimeError("%s: tessan alone ended with %d" % (name, done.returncode))
    check_sims(sims, name)
    return wall


def measure(progs, gang, work, image_path, runs, start_sim, log):
    """Medians of `runs` rounds, each: one board alone with tessan, then
    BOARDS boards at once with tessan-gang, over ptys and through one
    ser2net (where installed). Returns the figures, or None for runs of 0."""
    if runs <= 0:
        return None
    program = netbench.ser2net_program()
    ways = ["pty"] + (["ser2net"] if program else [])
    if not program:
        log("ser2net not found: many boards over ptys only")
    alone = {w: [] for w in ways}
    together = {w: [] for w in ways + ["viewers"]}
    cpu_share = {w: [] for w in ways + ["viewers"]}
    for r in range(runs):
        for way in ways + ["viewers"]:
            log("many boards (%s): round %d of %d, %s" % (way, r + 1, runs, "%d at once, %d viewers" % (BOARDS, VIEWERS)
                if way == "viewers" else "one board alone, then %d at once" % BOARDS))
            rounds = ((BOARDS, together),) if way == "viewers" else ((1, alone), (BOARDS, together))
            for count, store in rounds:
                name = "gang-%s-%d-%d" % (way, count, r)
                sims = [start_sim(progs, work, "%s-%d" % (name, i), True) for i in range(count)]
                server = None
                try:
                    ports = [s["port"] for s in sims]
                    if way == "ser2net":
                        server = Ser2netForMany(program, work, name, ports)
                        ports = server.urls()
                    if count == 1:
                        store[way].append(run_alone(progs, work, name, image_path, ports[0], sims))
                    else:
                        wall, cpu = run_gang(gang, work, name, image_path, ports, sims,
                                             VIEWERS if way == "viewers" else 0)
                        store[way].append(wall)
                        cpu_share[way].append(100.0 * cpu / wall)
                finally:
                    if server is not None:
                        server.stop()
                    for s in sims:
                        netbench.stop_sim(s)
    med = lambda v: statistics.median(v)
    return {
        "gang_boards": BOARDS,
        "gang_ratio": {w: round(med(together[w]) / med(alone[w]), 3) for w in ways},
        "gang_seconds": {w: round(med(together[w]), 2) for w in ways},
        "gang_alone_seconds": {w: round(med(alone[w]), 2) for w in ways},
        "gang_cpu_percent": {w: round(med(cpu_share[w]), 3) for w in ways},
        "gang_ratio_viewers": round(med(together["viewers"]) / med(alone["pty"]), 3),
        "gang_seconds_viewers": round(med(together["viewers"]), 2),
        "gang_cpu_percent_viewers": round(med(cpu_share["viewers"]), 3),
        "gang_viewers": VIEWERS,
    }
