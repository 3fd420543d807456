#!/usr/bin/env python3
"""Side-by-side benchmark of zolt and the servers a user would pick instead.

zolt runs twice: the release executable (static against musl) and the same program static
against glibc; the ceiling responders are built both ways too. Every server serves the same
document root (a 1 KiB index.html and a 64 MiB big.tar) on its own
loopback port, inside a private network namespace, each in cgroups of its own so that the CPU
time of children that have ended is counted too. wrk loads them with `Connection: close`, so
every request is a new connection, interleaved server by server and round by round so that
drift cancels. Results are ratios to nginx (1 worker, access log on) measured in the same round.

Run as root through `make bench` (about 8 minutes) or `make bench-quick` (about a minute).
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
WORK = HERE / "work"
DOCROOT = WORK / "docroot"
# zolt as the packaged unit and the image run it: an ordinary user (65534) whose top directory
# it may write, for its log.
DOCROOT_USER = WORK / "docroot-user"
UNPRIVILEGED = 65534
SMALL = "index.html"
BIG = "big.tar"
BIG_SIZE = 64 << 20
REFERENCE = "nginx"

# (name, connections, path): the small file at three concurrencies, the big one at four.
LOADS = [("c1", 1, SMALL), ("c16", 16, SMALL), ("c128", 128, SMALL), ("big", 4, BIG)]


# ----------------------------------------------------------------------------- cgroups

class Cgroup:
    """CPU, memory and process accounting for one server and all its children."""

    def __init__(self, name):
        self.name = name
        self.v2 = Path("/sys/fs/cgroup/cgroup.controllers").exists()
        if self.v2:
            root = Path("/sys/fs/cgroup")
            try:
                (root / "cgroup.subtree_control").write_text("+cpu +memory +pids")
            except OSError:
                pass
            self.dirs = {"all": root / name}
        else:
            self.dirs = {c: Path("/sys/fs/cgroup") / c / name for c in ("cpuacct", "memory", "pids")}
        for d in self.dirs.values():
            d.mkdir(exist_ok=True)

    def enter(self):
        """Called in the child before exec: the server and its children stay in the group."""
        for d in self.dirs.values():
            (d / "cgroup.procs").write_text(str(os.getpid()))

    def cpu_seconds(self):
        if self.v2:
            text = (self.dirs["all"] / "cpu.stat").read_text()
            return int(re.search(r"usage_usec (\d+)", text).group(1)) / 1e6
        return int((self.dirs["cpuacct"] / "cpuacct.usage").read_text()) / 1e9

    def processes(self):
        d = self.dirs["all"] if self.v2 else self.dirs["pids"]
        return int((d / "pids.current").read_text())

    def memory_bytes(self):
        """Memory charged to the group, page cache left out (the served files and logs)."""
        if self.v2:
            d = self.dirs["all"]
            used = int((d / "memory.current").read_text())
            stat = dict(line.split() for line in (d / "memory.stat").read_text().splitlines())
            return used - int(stat.get("file", 0))
        d = self.dirs["memory"]
        used = int((d / "memory.usage_in_bytes").read_text())
        stat = dict(line.split() for line in (d / "memory.stat").read_text().splitlines())
        return used - int(stat.get("cache", 0))

    def pids(self):
        d = self.dirs["all"] if self.v2 else self.dirs["pids"]
        return [int(p) for p in (d / "cgroup.procs").read_text().split()]

    def stop(self):
        for _ in range(50):
            pids = self.pids()
            if not pids:
                break
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            time.sleep(0.1)
        for d in self.dirs.values():
            try:
                d.rmdir()
            except OSError:
                pass


# ----------------------------------------------------------------------------- servers

def write_configs(port_of):
    nginx_conf = WORK / "nginx.conf"
    nginx_conf.write_text(f"""
worker_processes 1;
daemon off;
pid {WORK}/nginx.pid;
error_log {WORK}/nginx-error.log;
events {{ worker_connections 1024; }}
http {{
    access_log {WORK}/nginx-access.log;
    sendfile on;
    server {{
        listen 127.0.0.1:{port_of['nginx']};
        root {DOCROOT};
    }}
    types {{ text/html html; application/x-tar tar; }}
    client_body_temp_path {WORK}/nginx-tmp;
    proxy_temp_path {WORK}/nginx-tmp;
    fastcgi_temp_path {WORK}/nginx-tmp;
    uwsgi_temp_path {WORK}/nginx-tmp;
    scgi_temp_path {WORK}/nginx-tmp;
}}
""")
    lighttpd_conf = WORK / "lighttpd.conf"
    lighttpd_conf.write_text(f"""
server.modules = ("mod_accesslog")
server.document-root = "{DOCROOT}"
server.bind = "127.0.0.1"
server.port = {port_of['lighttpd']}
server.errorlog = "{WORK}/lighttpd-error.log"
accesslog.filename = "{WORK}/lighttpd-access.log"
mimetype.assign = (".html" => "text/html", ".tar" => "application/x-tar")
""")
    return {
        "nginx": ["nginx", "-c", str(nginx_conf)],
        "lighttpd": ["lighttpd", "-D", "-f", str(lighttpd_conf)],
        "busybox": ["busybox", "httpd", "-f", "-p", f"127.0.0.1:{port_of['busybox']}",
                    "-h", str(DOCROOT)],
        "mini_httpd": ["mini_httpd", "-D", "-h", "127.0.0.1", "-p", str(port_of["mini_httpd"]),
                       "-d", str(DOCROOT), "-u", "root", "-l", str(WORK / "mini_httpd.log")],
        "ceiling": [str(WORK / "responder-glibc"), str(port_of["ceiling"]), "0"],
        "ceiling-linger": [str(WORK / "responder-glibc"), str(port_of["ceiling-linger"]), "1"],
        "ceiling-musl": [str(WORK / "responder-musl"), str(port_of["ceiling-musl"]), "0"],
        "ceiling-linger-musl": [str(WORK / "responder-musl"), str(port_of["ceiling-linger-musl"]),
                                "1"],
        "zolt": [str(ZOLT["zolt"]), str(port_of["zolt"]), str(DOCROOT)],
        "zolt-glibc": [str(ZOLT["zolt-glibc"]), str(port_of["zolt-glibc"]), str(DOCROOT)],
        "zolt-nosandbox": [str(ZOLT["zolt-nosandbox"]), str(port_of["zolt-nosandbox"]),
                           str(DOCROOT)],
        "zolt-user": [str(ZOLT["zolt"]), str(port_of["zolt-user"]), str(DOCROOT_USER)],
        "zolt-before": [str(ZOLT["zolt-before"]), str(port_of.get("zolt-before")), str(DOCROOT)],
        "zolt-before-user": [str(ZOLT["zolt-before"]), str(port_of.get("zolt-before-user")),
                             str(DOCROOT_USER)],
        "zolt-container": as_container(ZOLT["zolt"], port_of.get("zolt-container")),
        "zolt-before-container": as_container(ZOLT["zolt-before"],
                                              port_of.get("zolt-before-container")),
    }


def as_container(executable, port):
    """zolt as a container's first process, as the image runs it: user 65534, process 1 of a
    PID namespace of its own, its output a pipe that the benchmark reads and drops."""
    return ["unshare", "--pid", "--fork", "setpriv", f"--reuid={UNPRIVILEGED}",
            f"--regid={UNPRIVILEGED}", "--clear-groups", str(executable), str(port),
            str(DOCROOT_USER)]


SERVERS = ["nginx", "lighttpd", "busybox", "mini_httpd", "ceiling", "ceiling-linger",
           "ceiling-musl", "ceiling-linger-musl", "zolt", "zolt-glibc", "zolt-nosandbox",
           "zolt-user", "zolt-container"]
# An earlier build beside this one (--before), as root, unprivileged, and in a container.
BEFORE = ["zolt-before", "zolt-before-user", "zolt-before-container"]
FILE_SERVERS = ["nginx", "lighttpd", "busybox", "mini_httpd", "zolt", "zolt-glibc"]
# The release executable (musl), the same program against glibc, and the release build
# without its seccomp sandbox (make bench-builds).
ZOLT = {"zolt": REPO / "build" / "zolt", "zolt-glibc": REPO / "build-glibc" / "zolt",
        "zolt-nosandbox": REPO / "build-nosandbox" / "zolt", "zolt-before": None}
MUSL_SPECS = "/usr/lib/x86_64-linux-musl/musl-gcc.specs"


def wait_listening(port, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return True
        except OSError:
            time.sleep(0.02)
    return False


def unprivileged(group):
    def enter():
        group.enter()
        os.setgroups([])
        os.setgid(UNPRIVILEGED)
        os.setuid(UNPRIVILEGED)
    return enter


def start_servers(port_of):
    commands = write_configs(port_of)
    (WORK / "nginx-tmp").mkdir(exist_ok=True)
    groups = {}
    for name in SERVERS:
        group = Cgroup(f"zolt-bench-{name}")
        groups[name] = group
        enter = unprivileged(group) if name.endswith("-user") else group.enter
        output = subprocess.DEVNULL
        if name.endswith("-container"):
            # A runtime hands the pipe to the container's user, as runc does.
            read_end, output = os.pipe()
            os.fchown(output, UNPRIVILEGED, UNPRIVILEGED)
            threading.Thread(target=drop, args=(os.fdopen(read_end, "rb"),), daemon=True).start()
        subprocess.Popen(commands[name], preexec_fn=enter, stdin=subprocess.DEVNULL,
                         stdout=output, stderr=subprocess.DEVNULL)
        if output != subprocess.DEVNULL:
            os.close(output)
        if not wait_listening(port_of[name]):
            sys.exit(f"bench: {name} did not start: {' '.join(commands[name])}")
    # The open connections of wait_listening cost each forking server a child; let them end.
    for group in groups.values():
        settle(group, 1)
    return groups


def drop(output):
    """Reads a container's output as its runtime would, and keeps nothing."""
    while output.read1(65536):
        pass


def settle(group, idle, seconds=5):
    """Waits until a server is back to its idle processes (lingering children gone)."""
    end = time.monotonic() + seconds
    while time.monotonic() < end and group.processes() > idle:
        time.sleep(0.05)


# ----------------------------------------------------------------------------- loads

UNITS = {"us": 1e-6, "ms": 1e-3, "s": 1.0, "m": 60.0}
SIZES = {"B": 1, "KB": 1 << 10, "MB": 1 << 20, "GB": 1 << 30, "TB": 1 << 40}


def parse_wrk(text):
    def duration(value):
        number, unit = re.match(r"([\d.]+)(us|ms|s|m)", value).groups()
        return float(number) * UNITS[unit]

    result = {}
    m = re.search(r"(\d+) requests in ([\d.]+)(\w+), ([\d.]+)(\w+) read", text)
    result["requests"] = int(m.group(1))
    result["seconds"] = float(m.group(2)) * UNITS[m.group(3)]
    result["bytes"] = float(m.group(4)) * SIZES[m.group(5)]
    for pct in ("50", "99"):
        m = re.search(rf"^\s+{pct}%\s+(\S+)", text, re.M)
        result[f"p{pct}"] = duration(m.group(1)) if m else None
    m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
    result["errors"] = sum(int(x) for x in m.groups()) if m else 0
    m = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
    result["errors"] += int(m.group(1)) if m else 0
    return result


def run_load(group, idle, port, connections, path, seconds):
    settle(group, idle)
    peak = {"processes": 0, "memory": 0}
    stop = threading.Event()

    def sample():
        while not stop.wait(0.1):
            peak["processes"] = max(peak["processes"], group.processes())
            peak["memory"] = max(peak["memory"], group.memory_bytes())

    idle_memory = group.memory_bytes()
    sampler = threading.Thread(target=sample)
    cpu_before = group.cpu_seconds()
    sampler.start()
    wrk = subprocess.run(
        ["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", "--timeout", "5s", "--latency",
         "-H", "Connection: close", f"http://127.0.0.1:{port}/{path}"],
        capture_output=True, text=True, check=True)
    stop.set()
    sampler.join()
    # Lingering children still hold their last requests; count their CPU once they are gone.
    settle(group, idle)
    result = parse_wrk(wrk.stdout)
    result["cpu"] = group.cpu_seconds() - cpu_before
    result["peak_processes"] = peak["processes"]
    result["peak_memory"] = peak["memory"]
    result["idle_memory"] = idle_memory
    return result


def foreground_start_ms(samples=20):
    """How long `zolt PORT DIR` takes to return once the server listens."""
    times = []
    for _ in range(samples):
        top = WORK / "start"
        shutil.rmtree(top, ignore_errors=True)
        top.mkdir()
        port = free_port()
        begin = time.perf_counter()
        subprocess.run([str(ZOLT["zolt"]), str(port), str(top)], check=True)
        times.append((time.perf_counter() - begin) * 1000)
        log = (top / "zolt.log").read_text()
        pid = int(re.search(r"zolt starting:\d+:(\d+)", log).group(1))
        os.killpg(pid, signal.SIGKILL)
    return statistics.median(times)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return port if port <= 60000 else free_port()


# ----------------------------------------------------------------------------- report

def metrics(load, r):
    """The figures compared for one run; higher is better for rates, lower for the rest."""
    out = {}
    if load == "big":
        out["MB/s"] = r["bytes"] / r["seconds"] / 1e6
        out["CPU s/GB"] = r["cpu"] / (r["bytes"] / 1e9) if r["bytes"] else None
    else:
        out["req/s"] = r["requests"] / r["seconds"]
        out["CPU us/req"] = r["cpu"] / r["requests"] * 1e6 if r["requests"] else None
    out["p50 ms"] = r["p50"] * 1000 if r["p50"] is not None else None
    out["p99 ms"] = r["p99"] * 1000 if r["p99"] is not None else None
    out["errors"] = r["errors"]
    out["peak procs"] = r["peak_processes"]
    extra = r["peak_processes"] - 1
    out["KiB/extra proc"] = ((r["peak_memory"] - r["idle_memory"]) / extra / 1024
                             if extra > 1 else None)
    return out


def summarize(runs, rounds):
    """Median and spread of each figure's ratio to the reference in the same round."""
    table = {}
    for load, _, _ in LOADS:
        for name in SERVERS:
            per_round = [runs.get((rnd, load, name)) for rnd in range(rounds)]
            if not all(per_round):
                continue
            figures = [metrics(load, r) for r in per_round]
            refs = [metrics(load, runs[(rnd, load, REFERENCE)]) for rnd in range(rounds)]
            row = {}
            for key in figures[0]:
                values = [f[key] for f in figures]
                row[key] = statistics.median(v for v in values if v is not None) \
                    if any(v is not None for v in values) else None
                ratios = [f[key] / ref[key] for f, ref in zip(figures, refs)
                          if f[key] is not None and ref[key]]
                if ratios and key not in ("errors", "peak procs"):
                    row[key + " ratio"] = (statistics.median(ratios), min(ratios), max(ratios))
            table[(load, name)] = row
    return table


RATIO_FIGURES = (("c1", "req/s"), ("c16", "req/s"), ("c128", "req/s"), ("c1", "CPU us/req"),
                 ("c16", "CPU us/req"), ("c128", "CPU us/req"), ("c128", "KiB/extra proc"))


def ratios_between(runs, rounds, mine, peer):
    """mine's figures as ratios to peer's, round by round: (median, lowest, highest) each."""
    cells = []
    for load, key in RATIO_FIGURES:
        ratios = []
        for rnd in range(rounds):
            if (rnd, load, mine) not in runs or (rnd, load, peer) not in runs:
                continue
            value = metrics(load, runs[(rnd, load, mine)])[key]
            theirs = metrics(load, runs[(rnd, load, peer)])[key]
            if value is not None and theirs:
                ratios.append(value / theirs)
        cells.append((statistics.median(ratios), min(ratios), max(ratios)) if ratios else None)
    return cells


def zolt_against(runs, rounds, peers=("ceiling-linger", "ceiling", "busybox", "mini_httpd")):
    """zolt's figures as ratios to the other forking servers, round by round."""
    return [(peer, ratios_between(runs, rounds, "zolt", peer)) for peer in peers]


# Each libc against the other, and each zolt against the ceiling built the same way.
LIBC_PAIRS = (("zolt", "zolt-glibc"), ("ceiling-linger-musl", "ceiling-linger"),
              ("zolt", "ceiling-linger-musl"), ("zolt-glibc", "ceiling-linger"),
              ("zolt", "zolt-nosandbox"), ("zolt-user", "zolt"), ("zolt", "zolt-before"),
              ("zolt-user", "zolt-before-user"), ("zolt-container", "zolt-before-container"))


def executable_sizes():
    """Bytes of each zolt executable as built, and stripped."""
    sizes = {}
    for name, path in ((n, ZOLT[n]) for n in ("zolt", "zolt-glibc")):
        stripped = WORK / f"{name}.stripped"
        subprocess.run(["strip", "-o", str(stripped), str(path)], check=True)
        sizes[name] = (path.stat().st_size, stripped.stat().st_size)
    return sizes


def fmt(value, digits=2):
    if value is None:
        return "–"
    if isinstance(value, tuple):
        med, lo, hi = value
        return f"{med:.{digits}f} ({lo:.{digits}f}–{hi:.{digits}f})"
    if isinstance(value, float):
        return f"{value:.{digits}f}" if value < 1000 else f"{value:.0f}"
    return str(value)


def markdown(table, rounds, seconds, start_ms, versions, against=(), libc=(), sizes=None,
             date=None):
    lines = [f"Measured on {date}. " if date else ""]
    lines[0] += (f"Rounds: {rounds}, {seconds} s per run, wrk -t1 with `Connection: close`. "
             f"Ratios are to {REFERENCE} (1 worker, access log on) in the same round: "
             "median (lowest–highest across rounds).")
    lines.append("")
    lines += ["### Connection rate, small file (1 KiB)", "",
              "| server | req/s c1 | req/s c16 | req/s c128 | CPU per request c16 | CPU per request c128 |",
              "|---|---|---|---|---|---|"]
    for name in SERVERS:
        cells = [fmt(table.get((load, name), {}).get("req/s ratio")) for load in ("c1", "c16", "c128")]
        cells += [fmt(table.get((load, name), {}).get("CPU us/req ratio")) for load in ("c16", "c128")]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines += ["", "### Absolute figures, small file", "",
              "| server | req/s c1 | req/s c16 | req/s c128 | CPU us/req c16 | p50/p99 ms c16 | "
              "p50/p99 ms c128 | errors c128 | peak processes c128 | KiB per extra process c128 |",
              "|---|---|---|---|---|---|---|---|---|---|"]
    for name in SERVERS:
        row = {load: table.get((load, name), {}) for load in ("c1", "c16", "c128")}
        lines.append(
            f"| {name} | {fmt(row['c1'].get('req/s'), 0)} | {fmt(row['c16'].get('req/s'), 0)} | "
            f"{fmt(row['c128'].get('req/s'), 0)} | {fmt(row['c16'].get('CPU us/req'), 0)} | "
            f"{fmt(row['c16'].get('p50 ms'))}/{fmt(row['c16'].get('p99 ms'))} | "
            f"{fmt(row['c128'].get('p50 ms'))}/{fmt(row['c128'].get('p99 ms'))} | "
            f"{fmt(row['c128'].get('errors'))} | {fmt(row['c128'].get('peak procs'))} | "
            f"{fmt(row['c128'].get('KiB/extra proc'), 0)} |")
    lines += ["", "### 64 MiB file, 4 connections", "",
              "| server | MB/s | MB/s ratio | CPU s per GB | CPU per GB ratio |", "|---|---|---|---|---|"]
    for name in FILE_SERVERS:
        row = table.get(("big", name), {})
        lines.append(f"| {name} | {fmt(row.get('MB/s'), 0)} | {fmt(row.get('MB/s ratio'))} | "
                     f"{fmt(row.get('CPU s/GB'), 3)} | {fmt(row.get('CPU s/GB ratio'))} |")
    lines += ["", "### zolt against the other fork-per-connection servers", "",
              "Ratios of zolt's figure to the peer's in the same round (rates: higher is better; "
              "CPU and memory: lower is better).", "",
              "| peer | req/s c1 | req/s c16 | req/s c128 | CPU per request c1 | c16 | c128 | "
              "memory per lingering process c128 |", "|---|---|---|---|---|---|---|---|"]
    for peer, cells in against:
        lines.append(f"| {peer} | " + " | ".join(fmt(c) for c in cells) + " |")
    lines += ["", "### musl against glibc, the sandbox, and an ordinary user", "",
              "The release executable is static against musl; `zolt-glibc` is the same program "
              "static against glibc, `zolt-nosandbox` the release build without its seccomp "
              "filters, `zolt-user` the release executable run as user 65534 (as the service "
              "and the image run it), `zolt-container` the same as process 1 of a PID namespace "
              "with its output a pipe, `zolt-before` an earlier build where one was given. "
              "Ratios of the first server's figure to the second's in the same round.",
              "",
              "| servers | req/s c1 | req/s c16 | req/s c128 | CPU per request c1 | c16 | c128 | "
              "memory per lingering process c128 |", "|---|---|---|---|---|---|---|---|"]
    for mine, peer, cells in libc:
        lines.append(f"| {mine} / {peer} | " + " | ".join(fmt(c) for c in cells) + " |")
    if sizes:
        musl, glibc = sizes["zolt"], sizes["zolt-glibc"]
        lines += ["", "| executable | bytes as built | bytes stripped |", "|---|---|---|",
                  f"| zolt (musl) | {musl[0]} | {musl[1]} |",
                  f"| zolt-glibc | {glibc[0]} | {glibc[1]} |",
                  f"| ratio | {musl[0] / glibc[0]:.3f} | {musl[1] / glibc[1]:.3f} |"]
    lines += ["", f"zolt's foreground returns, with the server listening, after {start_ms:.2f} ms "
              "(median of 20 starts).", "", "Versions: " + "; ".join(versions), ""]
    return "\n".join(lines)


def chart(table, png):
    data = WORK / "chart.dat"
    with data.open("w") as out:
        out.write("server c1 c16 c128 cpu16\n")
        for name in SERVERS:
            rate = [table.get((load, name), {}).get("req/s") or 0 for load in ("c1", "c16", "c128")]
            cpu = table.get(("c16", name), {}).get("CPU us/req") or 0
            out.write(f"{name} {rate[0]:.0f} {rate[1]:.0f} {rate[2]:.0f} {cpu:.0f}\n")
    script = f"""
set terminal pngcairo size 1100,450 font ",10" noenhanced
set output "{png}"
set multiplot layout 1,2
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set key top left
set xtics rotate by -30
set title "Requests/s by connections (Connection: close, 1 KiB; log scale)"
set ylabel "requests/s"
set logscale y
plot "{data}" using 2:xtic(1) title "1", "" using 3 title "16", "" using 4 title "128"
set title "Server CPU per request at 16 connections (log scale)"
set ylabel "microseconds"
unset key
plot "{data}" using 5:xtic(1) title "CPU"
unset multiplot
"""
    try:
        subprocess.run(["gnuplot"], input=script, text=True, check=True)
    except (OSError, subprocess.CalledProcessError) as error:
        print(f"bench: no chart ({error})")


def versions():
    def first_line(cmd):
        try:
            out = subprocess.run(cmd, capture_output=True, text=True)
            return (out.stdout + out.stderr).strip().splitlines()[0]
        except (OSError, IndexError):
            return "?"
    return [first_line(["nginx", "-v"]), first_line(["lighttpd", "-v"]),
            first_line(["busybox"]).split(" multi-call")[0],
            "mini_httpd " + first_line(["dpkg-query", "-W", "-f=${Version}", "mini-httpd"]),
            first_line(["wrk", "-v"]).split(" Copyright")[0],
            "kernel " + os.uname().release,
            f"{os.cpu_count()} cores"]


# ----------------------------------------------------------------------------- main

def prepare_docroot():
    shutil.rmtree(WORK, ignore_errors=True)
    DOCROOT.mkdir(parents=True)
    os.chmod(WORK, 0o755)
    os.chmod(DOCROOT, 0o777)  # mini_httpd and busybox may drop to another user
    (DOCROOT / SMALL).write_text(("<p>" + "z" * 1017 + "</p>\n")[:1024])
    with (DOCROOT / BIG).open("wb") as big:
        big.write(random.Random(1).randbytes(BIG_SIZE))
    DOCROOT_USER.mkdir()
    for name in (SMALL, BIG):
        os.link(DOCROOT / name, DOCROOT_USER / name)
    os.chown(DOCROOT_USER, UNPRIVILEGED, UNPRIVILEGED)
    # The ceiling built as each zolt is: static against glibc, and static against musl.
    responder = str(HERE / "responder.c")
    subprocess.run(["cc", "-O2", "-static", "-o", str(WORK / "responder-glibc"), responder],
                   check=True)
    subprocess.run(["cc", "-Os", "-static", "-specs", MUSL_SPECS, "-s", "-o",
                    str(WORK / "responder-musl"), responder], check=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--seconds", type=int, default=7)
    parser.add_argument("--out", default=str(HERE / "RESULTS.md"))
    parser.add_argument("--report-only", action="store_true",
                        help="write the report again from the last run's bench/work/runs.json")
    parser.add_argument("--before", help="an earlier zolt executable, run beside this one")
    parser.add_argument("--only", help="the servers to run, comma-separated (nginx always)")
    args = parser.parse_args()
    if args.report_only:
        saved = json.loads((WORK / "runs.json").read_text())
        runs = {(int(k.split()[0]), k.split()[1], k.split()[2]): v
                for k, v in saved["runs"].items()}
        report(runs, saved["rounds"], saved["seconds"], saved["start_ms"], saved.get("sizes"),
               Path(args.out), saved.get("date"))
        return

    if os.environ.get("ZOLT_BENCH_NETNS") != "1":
        # A private network namespace: the all-interfaces bind stays private, and every run
        # starts with clean TCP state.
        env = dict(os.environ, ZOLT_BENCH_NETNS="1")
        os.execvpe("unshare", ["unshare", "-n", sys.executable, __file__] + sys.argv[1:], env)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)

    if args.before:
        ZOLT["zolt-before"] = Path(args.before).resolve()
        SERVERS.extend(BEFORE)
    ports = {name: 20000 + i for i, name in enumerate(SERVERS)}
    if args.only:
        keep = set(args.only.split(",")) | {REFERENCE}
        SERVERS[:] = [name for name in SERVERS if name in keep]
        FILE_SERVERS[:] = [name for name in FILE_SERVERS if name in keep]
    prepare_docroot()
    groups = start_servers(ports)
    idle = {name: groups[name].processes() for name in SERVERS}
    runs = {}
    try:
        start_ms = foreground_start_ms()
        for rnd in range(args.rounds):
            for load, connections, path in LOADS:
                names = list(FILE_SERVERS if path == BIG else SERVERS)
                random.Random(rnd * 10 + connections).shuffle(names)
                for name in names:
                    result = run_load(groups[name], idle[name], ports[name], connections, path,
                                      args.seconds)
                    runs[(rnd, load, name)] = result
                    print(f"round {rnd + 1} {load:5} {name:15} "
                          f"{result['requests'] / result['seconds']:9.0f} req/s "
                          f"{result['bytes'] / result['seconds'] / 1e6:8.1f} MB/s "
                          f"cpu {result['cpu']:6.2f} s errors {result['errors']}", flush=True)
            # zolt's log grows by about 400 bytes a request; start each round afresh.
            (DOCROOT / "zolt.log").unlink(missing_ok=True)
            (DOCROOT_USER / "zolt.log").unlink(missing_ok=True)
    finally:
        for group in groups.values():
            group.stop()

    sizes = executable_sizes()
    (WORK / "runs.json").write_text(json.dumps(
        {"rounds": args.rounds, "seconds": args.seconds, "start_ms": start_ms, "sizes": sizes,
         "date": time.strftime("%Y-%m-%d", time.gmtime()),
         "versions": versions(), "runs": {f"{k[0]} {k[1]} {k[2]}": v for k, v in runs.items()}},
        indent=1))
    report(runs, args.rounds, args.seconds, start_ms, sizes, Path(args.out),
           time.strftime("%Y-%m-%d", time.gmtime()))


def report(runs, rounds, seconds, start_ms, sizes, out, date=None):
    table = summarize(runs, rounds)
    libc = [(mine, peer, ratios_between(runs, rounds, mine, peer)) for mine, peer in LIBC_PAIRS]
    libc = [pair for pair in libc if any(pair[2])]
    text = markdown(table, rounds, seconds, start_ms, versions(), zolt_against(runs, rounds),
                    libc, sizes, date)
    print(text)
    # Notes written by hand above the marker are kept; the tables below it are replaced.
    marker = "<!-- measured tables below: written by bench/bench.py -->\n"
    notes = out.read_text().split(marker)[0] if out.exists() and marker in out.read_text() else ""
    out.write_text(notes + marker + text)
    chart(table, out.with_suffix(".png"))
    print(f"written: {out} and {out.with_suffix('.png')}")


if __name__ == "__main__":
    main()
