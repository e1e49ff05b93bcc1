#!/usr/bin/env python3
"""The benchmark driver behind scripts/bench: the pty floor, the tool against
tessan-sim answering at once and at line rate (each line-rate round paired
with the bare ping-pong paced the same way, on the same image), the image
decoder against xxd, the tool's peak memory, K transfers in parallel, and
8 boards at once with tessan-gang against one alone.
Prints progress lines starting with "#", a table, and one JSON object as the
last line."""

import argparse
import json
import os
import random
import re
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import gangbench
import netbench

SIZES = [5, 21, 261, 4085]
CAPACITY = 131072
BYTE_US = 1e6 / 11520  # 115,200 baud, 8N1: ten bits a byte
SIM_READY_S = 10

# Line-rate rounds: each pairs the paced ping-pong with the tool on an image
# of half the records (LINE_SHARE), both on one and the same CPU (see
# pinned_to_one_cpu). A round of all four sizes takes about 55 s, so eleven
# rounds and the rest of a default run take about 16 minutes. Two runs in a
# row on the project's machine agreed within 0.002 on the losses of 21-,
# 261- and 4,085-byte records; for 5-byte records, whose single rounds still
# scatter by 0.13, their medians came 0.025 apart.
LINE_RUNS = 11
LINE_SHARE = 2

# Goals.
RATIO_GOAL = 1.25
EFFICIENCY_GOAL = 0.99
FLOOR_MARGIN = 0.01
DECODE_GOAL_MS = 5.0
# With the station view served and viewers on its event stream.
GANG_VIEWERS_RATIO_GOAL = 1.15
GANG_RATIO_GOAL = 1.15
# 261-byte records through ser2net with TLS against without.
TLS_RATIO_GOAL = 1.05


def log(text):
    print("# " + text, flush=True)


class BenchError(Exception):
    pass


# ---- images -----------------------------------------------------------------

def hex_text(data):
    """Sixteen upper-case byte values a line, blank-separated: about three
    characters a byte, as image files are usually written."""
    lines = []
    for i in range(0, len(data), 16):
        lines.append(" ".join("%02X" % b for b in data[i:i + 16]))
    return "\n".join(lines) + "\n"


def record_image(size):
    """The largest whole number of `size`-byte records that fits in the
    tool's capacity, with pseudo-random contents (the same in every run)."""
    blocks = (size - 5) // 16
    assert 16 * blocks + 5 == size
    count = CAPACITY // size
    rnd = random.Random(size)
    data = bytearray()
    for _ in range(count):
        data.append(blocks)
        data += rnd.randbytes(size - 1)
    return count, bytes(data)


def fnv1a(data):
    h = 14695981039346656037
    for b in data:
        h = ((h ^ b) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


# ---- running the programs ------------------------------------------------------

class Programs:
    def __init__(self, build):
        self.tessan = os.path.join(build, "tessan")
        self.sim = os.path.join(build, "sim", "tessan-sim")
        self.pingpong = os.path.join(build, "bench", "tessan-bench-pingpong")
        self.decode = os.path.join(build, "bench", "tessan-bench-decode")
        for p in (self.tessan, self.sim, self.pingpong, self.decode):
            if not os.access(p, os.X_OK):
                raise BenchError("missing program " + p)
        self.time_v = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None
        gang = os.path.join(build, "tessan-gang")
        self.gang = gang if os.access(gang, os.X_OK) else None


def start_sim(progs, work, name, line_rate, extra=()):
    """Starts a tessan-sim publishing its pty at work/name; returns once the
    port is there."""
    port = os.path.join(work, name)
    log_path = port + ".log"
    args = [progs.sim, port, "--log", log_path, "--timeout", "120"]
    if line_rate:
        args.append("--line-rate")
    args += list(extra)
    sim = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    ready, _, _ = select.select([sim.stdout], [], [], SIM_READY_S)
    first = sim.stdout.readline().decode(errors="replace").strip() if ready else ""
    if first != port:
        sim.kill()
        sim.wait()
        raise BenchError("tessan-sim did not publish %s (said %r)" % (port, first))
    return {"proc": sim, "port": port, "log": log_path, "name": name}


def start_tool(progs, work, sim, image_path, port=None):
    """Starts tessan on the sim's port, or on `port` (a network URL)."""
    base = os.path.join(work, sim["name"])
    out = open(base + ".out", "wb")
    err = open(base + ".err", "wb")
    args = [progs.tessan, image_path, "-COM", port or sim["port"]]
    rss_path = None
    if progs.time_v:
        rss_path = base + ".time"
        args = [progs.time_v, "-v", "-o", rss_path] + args
    tool = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
    out.close()
    err.close()
    return {"proc": tool, "out": base + ".out", "err": base + ".err", "time": rss_path,
            "sim": sim}


def wait_usage(proc):
    """Waits for a child and returns its rusage (which covers the children
    it reaped itself, so /usr/bin/time's covers the tool's)."""
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return usage


def finish_transfer(run):
    """Waits for the tool and its sim and checks that the transfer succeeded.
    Returns a dict: us (transfer time from the sim's log), rss_kb (the tool's
    peak), tool_cpu_ms and sim_cpu_ms (user + system time of each)."""
    tool = run["proc"]
    sim = run["sim"]
    tool_usage = wait_usage(tool)
    sim_out = sim["proc"].stdout.read()
    sim_err = sim["proc"].stderr.read()
    sim_usage = wait_usage(sim["proc"])
    out = open(run["out"], "rb").read().decode(errors="replace")
    err = open(run["err"], "rb").read()
    sim_log = open(sim["log"]).read() if os.path.exists(sim["log"]) else ""
    problems = []
    if tool.returncode != 0:
        problems.append("tessan exit status %d" % tool.returncode)
    if err:
        problems.append("tessan wrote to standard error: %r" % err[:200])
    if "Target updated successfully." not in out:
        problems.append("no success line in tessan's output")
    if sim["proc"].returncode != 0 or "result ok" not in sim_log:
        problems.append("tessan-sim: %s %s" % (sim_out.decode(errors="replace").strip(),
                                               sim_err.decode(errors="replace").strip()))
    us = netbench.record_span_us(sim_log)
    if us is None:
        problems.append("no first-record-start/last-status in the sim's log")
    if problems:
        raise BenchError("transfer on %s failed: %s" % (sim["port"], "; ".join(problems)))
    rss = tool_usage.ru_maxrss
    if run["time"] is not None:
        m = re.search(r"Maximum resident set size \(kbytes\): (\d+)", open(run["time"]).read())
        rss = int(m.group(1)) if m else rss
    cpu = lambda u: (u.ru_utime + u.ru_stime) * 1000
    return {"us": us, "rss_kb": rss,
            "tool_cpu_ms": cpu(tool_usage), "sim_cpu_ms": cpu(sim_usage)}


def transfer(progs, work, name, image_path, line_rate):
    sim = start_sim(progs, work, name, line_rate)
    return finish_transfer(start_tool(progs, work, sim, image_path))


def floor_us(progs, size, count, line_rate=False):
    args = [progs.pingpong, str(size), str(count), "1"] + (["--line-rate"] if line_rate else [])
    out = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    m = re.search(r"^median us_per_record ([\d.]+)$", out.stdout, re.M)
    if out.returncode != 0 or not m:
        raise BenchError("ping-pong %d failed: %s" % (size, out.stdout.strip()))
    return float(m.group(1))


def wall_ms(args, stdin_path):
    with open(stdin_path, "rb") as f:
        start = time.perf_counter()
        subprocess.run(args, stdin=f, stdout=subprocess.DEVNULL, check=True)
        return (time.perf_counter() - start) * 1000


# ---- the measurements -------------------------------------------------------------

def measure_decode(progs, work, runs):
    data = random.Random(131072).randbytes(CAPACITY)
    path = os.path.join(work, "decode.txt")
    with open(path, "w") as f:
        f.write(hex_text(data))
    text_bytes = os.path.getsize(path)

    out = subprocess.run([progs.decode, path, str(runs)], stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, check=True).stdout
    head = re.search(r"^bytes (\d+) fnv1a ([0-9a-f]+)$", out, re.M)
    if not head or int(head.group(1)) != CAPACITY or head.group(2) != fnv1a(data):
        raise BenchError("the decoder's result differs from the image: " + out[:200])
    decode_ms = float(re.search(r"^median ms ([\d.]+)$", out, re.M).group(1))

    xxd = shutil.which("xxd")
    xxd_ms = xxd_start_ms = process_ms = None
    if xxd:
        got = subprocess.run([xxd, "-r", "-p", path], capture_output=True, check=True).stdout
        if got != data:
            raise BenchError("xxd -r -p decodes the text differently")
        # Both as whole processes, alternately, and xxd on empty input for
        # its start-up cost.
        xs, ps, es = [], [], []
        for _ in range(runs):
            xs.append(wall_ms([xxd, "-r", "-p"], path))
            ps.append(wall_ms([progs.decode, path, "1"], path))
            es.append(wall_ms([xxd, "-r", "-p"], os.devnull))
        xxd_ms = statistics.median(xs)
        process_ms = statistics.median(ps)
        xxd_start_ms = statistics.median(es)
    return {"text_bytes": text_bytes, "decode_ms": decode_ms, "decode_process_ms": process_ms,
            "xxd_ms": xxd_ms, "xxd_startup_ms": xxd_start_ms}


def measure_parallel(progs, work, image_path, records, size, k):
    sims = [start_sim(progs, work, "par%d-%d" % (k, i), True) for i in range(k)]
    start = time.perf_counter()
    runs = [start_tool(progs, work, s, image_path) for s in sims]
    results = [finish_transfer(r) for r in runs]
    total_s = time.perf_counter() - start
    wire_us = records * (size + 1) * BYTE_US
    effs = [wire_us / r["us"] for r in results]
    return {"total_s": round(total_s, 3), "efficiency": [round(e, 4) for e in effs],
            "efficiency_min": round(min(effs), 4), "efficiency_median": round(statistics.median(effs), 4),
            "transfer_s_max": round(max(r["us"] for r in results) / 1e6, 3)}


def check_refusal(progs, work, image_path):
    """While one tessan transfers, a second one on the same port must be
    refused and leave the first transfer undisturbed."""
    sim = start_sim(progs, work, "held", True)
    first = start_tool(progs, work, sim, image_path)
    deadline = time.time() + 30
    while "Transferring" not in open(first["out"], "rb").read().decode(errors="replace"):
        if time.time() > deadline or first["proc"].poll() is not None:
            raise BenchError("the first tessan did not start its transfer")
        time.sleep(0.02)
    second = subprocess.run([progs.tessan, image_path, "-COM", sim["port"]],
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    still_running = first["proc"].poll() is None
    finish_transfer(first)  # raises if the first transfer was disturbed
    refused = (second.returncode == 255 and not second.stderr and
               ("Error: %s in use or does not exist." % sim["port"]).encode() in second.stdout)
    return refused and still_running


class pinned_to_one_cpu:
    """Runs what is started inside on one CPU, the last one allowed. Spread
    over two CPUs, each wake-up between the sender and the answerer crosses
    to the other CPU or not as the scheduler places them, run by run, and on
    a virtual machine a wake-up on an idle CPU costs tens of microseconds
    more: that, not the tool, made most of the scatter of the paced rounds.
    On one CPU both sides of every pair are placed alike."""

    def __enter__(self):
        self.saved = os.sched_getaffinity(0)
        os.sched_setaffinity(0, {max(self.saved)})
        return self

    def __exit__(self, *exc):
        os.sched_setaffinity(0, self.saved)
        return False


def median_or_none(values):
    return statistics.median(values) if values else None


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--build", required=True, help="build folder holding tessan, sim/, bench/")
    ap.add_argument("--runs", type=int, default=7, help="runs per size answering at once (default 7)")
    ap.add_argument("--line-runs", type=int, default=LINE_RUNS,
                    help="line-rate rounds, each the paced ping-pong and then the tool on the same image, "
                         "per size (default %d, about a minute a round)" % LINE_RUNS)
    ap.add_argument("--decode-runs", type=int, default=21, help="decoder and xxd runs (default 21)")
    ap.add_argument("--net-runs", type=int, default=3,
                    help="runs per size through ser2net and sredird (default 3; 0 skips them)")
    ap.add_argument("--parallel", default="1,2,4,8", help="K values of the parallel mode ('' skips it)")
    ap.add_argument("--parallel-size", type=int, default=261, choices=SIZES,
                    help="record size of the parallel mode (default 261)")
    ap.add_argument("--gang-runs", type=int, default=3,
                    help="rounds of %d boards at once with tessan-gang against one alone, at line rate on the "
                         "parallel mode's image, over ptys and through ser2net (default 3; 0 skips them)"
                    % gangbench.BOARDS)
    a = ap.parse_args()
    progs = Programs(a.build)
    started = time.time()

    work = tempfile.mkdtemp(prefix="tessan-bench.")
    try:
        images = {}
        for size in SIZES:
            count, data = record_image(size)
            path = os.path.join(work, "image%d.txt" % size)
            with open(path, "w") as f:
                f.write(hex_text(data))
            images[size] = (count, len(data), path)

        log("decoder against xxd, %d runs" % a.decode_runs)
        decode = measure_decode(progs, work, a.decode_runs)

        # The floor and the tool alternate, so both see the same load.
        floor = {s: [] for s in SIZES}
        fast = {s: [] for s in SIZES}
        tool_cpu = {s: [] for s in SIZES}
        sim_cpu = {s: [] for s in SIZES}
        rss = []
        for r in range(a.runs):
            log("answering at once: round %d of %d" % (r + 1, a.runs))
            for size in SIZES:
                count = images[size][0]
                floor[size].append(floor_us(progs, size, count))
                t = transfer(progs, work, "fast%d-%d" % (size, r), images[size][2], False)
                fast[size].append(t["us"] / count)
                tool_cpu[size].append(t["tool_cpu_ms"])
                sim_cpu[size].append(t["sim_cpu_ms"])
                rss.append(t["rss_kb"])

        # Each round: the bare ping-pong paced the same way (what waking up
        # between records costs without tool or sim) and the tool, on the
        # same image, back to back, in turns first. A process's wake-up time
        # drifts from minute to minute on a virtual machine; the difference
        # within a round carries little of that drift, two measurements
        # minutes apart carry all of it.
        line = {s: [] for s in SIZES}
        line_floor = {s: [] for s in SIZES}
        line_images = {}
        for size in SIZES:
            count, _, _ = images[size]
            count //= LINE_SHARE
            path = os.path.join(work, "line%d.txt" % size)
            with open(path, "w") as f:
                f.write(hex_text(record_image(size)[1][:count * size]))
            line_images[size] = (count, path)
        with pinned_to_one_cpu():
            for r in range(a.line_runs):
                log("line rate: round %d of %d (the paced ping-pong and the tool, about a minute)" % (
                    r + 1, a.line_runs))
                for size in SIZES:
                    count, path = line_images[size]
                    # Even rounds measure the paced ping-pong first, odd ones the tool.
                    if r % 2 == 0:
                        line_floor[size].append(floor_us(progs, size, count, True))
                    t = transfer(progs, work, "line%d-%d" % (size, r), path, True)
                    if r % 2 == 1:
                        line_floor[size].append(floor_us(progs, size, count, True))
                    line[size].append(t["us"])
                    rss.append(t["rss_kb"])

        try:
            network = netbench.measure(progs, work, images, a.net_runs, start_sim, start_tool,
                                       finish_transfer, log)
            # What TLS costs a record on a real line: 261-byte records at
            # line rate, with TLS and without.
            tls_line = netbench.measure_tls_line_rate(progs, work, line_images[261], min(a.net_runs, 3),
                                                      start_sim, start_tool, finish_transfer, log) \
                if network else None
        # OSError: the Python client's sockets (a refused connection, a
        # timeout) and starting ser2net.
        except (RuntimeError, OSError, subprocess.SubprocessError) as e:
            raise BenchError("through ser2net: %s" % e)

        parallel = {}
        ks = [int(k) for k in a.parallel.split(",") if k.strip()]
        if ks:
            count, _, path = images[a.parallel_size]
            for k in ks:
                log("parallel: %d transfers at line rate" % k)
                parallel[str(k)] = measure_parallel(progs, work, path, count, a.parallel_size, k)
            log("a second tessan on a port that another tessan holds")
            refused = check_refusal(progs, work, images[4085][2])
        else:
            refused = None

        gang = None
        if a.gang_runs > 0 and progs.gang is None:
            log("no tessan-gang in the build: no many-boards figures")
        elif a.gang_runs > 0:
            try:
                gang = gangbench.measure(progs, progs.gang, work, images[a.parallel_size][2], a.gang_runs,
                                         start_sim, log)
            except (RuntimeError, OSError, subprocess.SubprocessError) as e:
                raise BenchError("many boards: %s" % e)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    res = {"us_per_record": {}, "floor_us_per_record": {}, "overhead_ratio": {},
           "efficiency": {}, "floor_limited_efficiency": {}, "paced_floor_efficiency": {}, "records": {},
           "line_rate_records": {},
           "paced_loss": {}, "paced_loss_spread": {},
           "overhead_ratio_paired": {}, "overhead_ratio_best": {}, "transfer_ms": {}, "line_rate_ms": {}, "tool_cpu_ms": {},
           "sim_cpu_ms": {}}
    for size in SIZES:
        key = str(size)
        count = images[size][0]
        tool = statistics.median(fast[size]) if fast[size] else None
        base = statistics.median(floor[size]) if floor[size] else None
        res["records"][key] = count
        res["us_per_record"][key] = round(tool, 2) if tool else None
        res["floor_us_per_record"][key] = round(base, 2) if base else None
        res["overhead_ratio"][key] = round(tool / base, 3) if tool and base else None
        # Each round's tool run against the floor run just before it: the
        # median of these ratios is less swayed by load that comes and goes.
        pairs = [t / f for t, f in zip(fast[size], floor[size])]
        res["overhead_ratio_paired"][key] = round(statistics.median(pairs), 3) if pairs else None
        # Fastest against fastest: the least the load can have added to each.
        res["overhead_ratio_best"][key] = round(min(fast[size]) / min(floor[size]), 3) if pairs else None
        res["transfer_ms"][key] = round(tool * count / 1000, 1) if tool else None
        res["tool_cpu_ms"][key] = round(statistics.median(tool_cpu[size]), 1) if tool_cpu[size] else None
        res["sim_cpu_ms"][key] = round(statistics.median(sim_cpu[size]), 1) if sim_cpu[size] else None
        wire = (size + 1) * BYTE_US
        line_count = line_images[size][0]
        res["line_rate_records"][key] = line_count
        lr = median_or_none(line[size])
        res["line_rate_ms"][key] = round(lr / 1000, 1) if lr else None
        res["efficiency"][key] = round(line_count * wire / lr, 4) if lr else None
        res["floor_limited_efficiency"][key] = round(wire / (wire + base), 4) if base else None
        paced = median_or_none(line_floor[size])
        res["paced_floor_efficiency"][key] = round(wire / paced, 4) if paced else None
        # The loss to the paced floor, paced floor efficiency - tool
        # efficiency, round by round; its median and its spread.
        losses = [wire / f - line_count * wire / t for f, t in zip(line_floor[size], line[size])]
        res["paced_loss"][key] = round(statistics.median(losses), 4) if losses else None
        res["paced_loss_spread"][key] = [round(min(losses), 4), round(max(losses), 4)] if losses else None
    res.update({k: (round(v, 3) if isinstance(v, float) else v) for k, v in decode.items()})
    res["peak_rss_kb"] = max(rss) if rss else None
    res["network_us_per_record"] = network
    res["net_tls_ratio"] = netbench.tls_ratio(network)
    res["net_tls_ratio_line_rate"] = tls_line
    res["parallel"] = parallel
    res["parallel_record_size"] = a.parallel_size if parallel else None
    res["second_tessan_refused"] = refused
    for key in ("gang_boards", "gang_ratio", "gang_seconds", "gang_alone_seconds", "gang_cpu_percent",
                "gang_viewers", "gang_ratio_viewers", "gang_seconds_viewers", "gang_cpu_percent_viewers"):
        res[key] = gang[key] if gang else None
    res["gang_record_size"] = a.parallel_size if gang else None
    res["runs"] = {"answering_at_once": a.runs, "line_rate": a.line_runs, "decode": a.decode_runs,
                   "network": a.net_runs, "gang": a.gang_runs}
    res["seconds"] = round(time.time() - started, 1)

    print_table(res)
    print(json.dumps(res, sort_keys=False))


def fmt(v, style):
    return format(v, style) if v is not None else "-"


def print_table(r):
    print()
    print("record  records  floor     tool      overhead  (paired)  line-rate  efficiency  floor-limited  paced floor  "
          "loss to the paced floor   goals")
    print("bytes            us/rec    us/rec    ratio               ms                     efficiency     efficiency   "
          "median (lowest, highest)")
    for size in SIZES:
        k = str(size)
        ratio, eff, lim = r["overhead_ratio"][k], r["efficiency"][k], r["floor_limited_efficiency"][k]
        goals = []
        if ratio is not None:
            goals.append("ratio %s" % ("met" if ratio <= RATIO_GOAL else "MISSED"))
        if eff is not None:
            target = EFFICIENCY_GOAL if size >= 261 else (lim - FLOOR_MARGIN if lim else None)
            if target is not None:
                goals.append("efficiency %s" % ("met" if eff >= target else "MISSED"))
        loss, spread = r["paced_loss"][k], r["paced_loss_spread"][k]
        if loss is not None:
            goals.append("loss %s" % ("met" if loss <= FLOOR_MARGIN else "MISSED"))
        loss_text = "%s (%s, %s)" % (fmt(loss, "+.4f"), fmt(spread[0], "+.4f"), fmt(spread[1], "+.4f")) \
            if spread else "-"
        print("%-7d %-8d %-9s %-9s %-9s %-9s %-10s %-11s %-14s %-12s %-25s %s" % (
            size, r["records"][k], fmt(r["floor_us_per_record"][k], ".1f"),
            fmt(r["us_per_record"][k], ".1f"), fmt(ratio, ".3f"), fmt(r["overhead_ratio_paired"][k], ".3f"),
            fmt(r["line_rate_ms"][k], ".0f"),
            fmt(eff, ".4f"), fmt(lim, ".4f"), fmt(r["paced_floor_efficiency"][k], ".4f"), loss_text,
            ", ".join(goals)))
    print("CPU time (user + system) of a whole run answering at once, handshake included:")
    print("  " + ", ".join("%d: tessan %s ms, sim %s ms" % (
        size, fmt(r["tool_cpu_ms"][str(size)], ".0f"), fmt(r["sim_cpu_ms"][str(size)], ".0f")) for size in SIZES))
    print()
    d = r["decode_ms"]
    print("decode of a %d-byte image (%d bytes of text): %s ms in process (goal < %.0f ms: %s)" % (
        CAPACITY, r["text_bytes"], fmt(d, ".3f"), DECODE_GOAL_MS, "met" if d < DECODE_GOAL_MS else "MISSED"))
    if r["xxd_ms"] is not None:
        print("as whole processes: decoder %s ms, xxd -r -p %s ms (xxd on empty input: %s ms): %s" % (
            fmt(r["decode_process_ms"], ".3f"), fmt(r["xxd_ms"], ".3f"), fmt(r["xxd_startup_ms"], ".3f"),
            "decoder faster" if r["decode_process_ms"] < r["xxd_ms"] else "xxd FASTER"))
    else:
        print("xxd not found: no comparison")
    print("peak RSS of tessan during a transfer: %s kB" % fmt(r["peak_rss_kb"], "d"))
    if r["network_us_per_record"]:
        print()
        print("through ser2net (chardelay off) and sredird, answering at once, us per record (medians of %d):" %
              r["runs"]["network"])
        print("record bytes  direct pty  rfc2217://  rfc2217+tls://  socket://  sredird rfc2217://  "
              "python client on the raw port")
        for size in SIZES:
            n = r["network_us_per_record"][str(size)]
            print("%-13d %-11s %-11s %-15s %-10s %-19s %s" % (
                size, fmt(r["us_per_record"][str(size)], ".1f"), fmt(n["rfc2217"], ".1f"),
                fmt(n.get("rfc2217_tls"), ".1f"), fmt(n["socket"], ".1f"), fmt(n.get("sredird"), ".1f"),
                fmt(n["python"], ".1f")))
        ratio = r["net_tls_ratio"]
        print("TLS: 261-byte records through ser2net with TLS over without: %s (goal <= %.2f: %s)" % (
            fmt(ratio, ".3f"), TLS_RATIO_GOAL, "-" if ratio is None else "met" if ratio <= TLS_RATIO_GOAL else "MISSED"))
        print("     the same at line rate (115,200 baud): %s" % fmt(r["net_tls_ratio_line_rate"], ".4f"))
    if r["parallel"]:
        print()
        print("parallel, line rate, %d-byte records: K  total s  longest transfer s  efficiency min  median" %
              r["parallel_record_size"])
        for k, p in r["parallel"].items():
            print("                                    %-2s %-8.2f %-19.2f %-15.4f %.4f" % (
                k, p["total_s"], p["transfer_s_max"], p["efficiency_min"], p["efficiency_median"]))
        print("second tessan on a held port: %s" % ("refused" if r["second_tessan_refused"] else "NOT REFUSED"))
    if r["gang_ratio"]:
        print()
        print("%d boards at once with tessan-gang against one alone with tessan, line rate, %d-byte records "
              "(medians of %d rounds; goal: ratio at most %.2f, gang under 1%% of a core):" % (
                  r["gang_boards"], r["gang_record_size"], r["runs"]["gang"], GANG_RATIO_GOAL))
        print("through    alone s  together s  ratio  gang CPU %  goals")
        for way, ratio in r["gang_ratio"].items():
            cpu = r["gang_cpu_percent"][way]
            print("%-10s %-8.2f %-11.2f %-6.3f %-11.3f ratio %s, CPU %s" % (
                way, r["gang_alone_seconds"][way], r["gang_seconds"][way], ratio, cpu,
                "met" if ratio <= GANG_RATIO_GOAL else "MISSED", "met" if cpu < 1.0 else "MISSED"))
        ratio, cpu = r["gang_ratio_viewers"], r["gang_cpu_percent_viewers"]
        print("%-10s %-8s %-11.2f %-6.3f %-11.3f ratio %s (goal %.2f), CPU %s (goal 2 %%): pty, %d on the "
              "station view's event stream" % (
            "viewers", "", r["gang_seconds_viewers"],
            ratio, cpu, "met" if ratio <= GANG_VIEWERS_RATIO_GOAL else "MISSED", GANG_VIEWERS_RATIO_GOAL,
            "met" if cpu < 2.0 else "MISSED", r["gang_viewers"]))
    print("(medians of %d runs answering at once, %d paired rounds at line rate; %.0f s in all)" % (
        r["runs"]["answering_at_once"], r["runs"]["line_rate"], r["seconds"]))


if __name__ == "__main__":
    try:
        main()
    except BenchError as e:
        print("bench: " + str(e), flush=True)
        sys.exit(1)
