#!/usr/bin/env python3
"""The benchmark of the whole road: Postfix's smtp-source drives quillgate over LMTP, quillgate
asks the stub scanner and re-injects into Postfix's smtp-sink; the direct baseline is smtp-source
straight into the same smtp-sink. Prints a Markdown table, memory and instruction figures, and one
summary line. Every peer runs on loopback or on sockets in a temporary directory and is stopped at
the end. With --real-rspamd, Debian's Rspamd takes the stub's place (see real_rspamd.py).
"""

import argparse
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import real_rspamd
from real_rspamd import process_cpu_seconds as cpu_seconds

KIB = 1024
MIB = 1024 * 1024

# Messages per run for (size, sessions): about one to two seconds of load each at full speed.
BASE_COUNTS = {
    (4 * KIB, 1): 1000, (4 * KIB, 8): 3000, (4 * KIB, 64): 3000,
    (64 * KIB, 1): 600, (64 * KIB, 8): 1500, (64 * KIB, 64): 1500,
    (1 * MIB, 1): 60, (1 * MIB, 8): 150, (1 * MIB, 64): 192,
}


def log(text):
    """Progress goes to standard error, the results to standard output."""
    print(text, file=sys.stderr, flush=True)


def size_name(size):
    """4096 as "4 KiB", 1048576 as "1 MiB"."""
    if size % MIB == 0:
        return f"{size // MIB} MiB"
    return f"{size // KIB} KiB"


def free_port():
    """A TCP port on 127.0.0.1 that is free at the time of asking."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_connectable(address, process, limit=30.0):
    """Waits until `address` ("127.0.0.1:PORT" or "unix:PATH") accepts a connection."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"{process.args[0]} exited with {process.returncode} at start-up")
        try:
            if address.startswith("unix:"):
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                    s.settimeout(1)
                    s.connect(address[5:])
            else:
                host, port = address.rsplit(":", 1)
                with socket.create_connection((host, int(port)), timeout=1):
                    pass
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"{address} did not accept connections within {limit} s")


def stop(process, limit=10.0):
    """Stops a peer that this script started: SIGTERM, then SIGKILL after `limit` seconds."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=limit)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def memory_kib(pid, key):
    """A line of /proc/PID/status in KiB: "VmRSS" (resident now) or "VmHWM" (peak)."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def reset_peak(pid):
    """Resets the peak resident size of `pid` to its current size."""
    try:
        with open(f"/proc/{pid}/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def median(values):
    return statistics.median(values) if values else 0


class Bench:
    """The peers of one benchmark invocation and the measurements made with them."""

    def __init__(self, args, workdir):
        self.args = args
        self.workdir = workdir
        self.processes = []
        pin = not args.no_pin
        self.quillgate_pin = ["taskset", "-c", args.quillgate_core] if pin else []
        self.peer_pin = ["taskset", "-c", args.peer_cores] if pin else []
        self.sink_tcp = f"127.0.0.1:{free_port()}"
        self.sink_unix = f"unix:{workdir}/sink.sock"
        self.scan_socket = f"{workdir}/scan.sock"
        self.scan_port = 0
        self.daemons = {}  # path name -> (process, LMTP address)

    def spawn(self, command, **kwargs):
        process = subprocess.Popen(command, **kwargs)
        self.processes.append(process)
        return process

    def start_peers(self):
        """The stub scanner (TCP and Unix) and one smtp-sink per transport."""
        self.start_stub()
        self.start_sinks(("tcp", "unix"))

    def start_stub(self):
        stub = self.spawn(self.peer_pin + [self.args.stub, "--tcp", "0", "--unix",
                                           self.scan_socket, "--threads", "3"],
                          stdout=subprocess.PIPE, text=True)
        for line in stub.stdout:
            if line.startswith("tcp "):
                self.scan_port = int(line.split()[1])
            if line.strip() == "ready":
                break
        if not self.scan_port:
            raise RuntimeError("the stub scanner did not start")

    def start_sinks(self, transports):
        user = ["-u", "nobody"] if os.geteuid() == 0 else []
        for transport in transports:
            for attempt in range(3):  # a free port can be taken by another test meanwhile
                address = self.sink_tcp if transport == "tcp" else self.sink_unix
                sink = self.spawn(self.peer_pin + ["smtp-sink"] + user +
                                  ["-m", "1024", address, "4096"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
                try:
                    wait_connectable(address, sink)
                    break
                except RuntimeError:
                    stop(sink)
                    if attempt == 2:
                        raise
                    self.sink_tcp = f"127.0.0.1:{free_port()}"

    def config_text(self, name, transport):
        """A configuration for one quillgate instance on `transport`."""
        log_file = f"{self.workdir}/{name}.log"
        if transport == "tcp":
            port = free_port()
            address = f"127.0.0.1:{port}"
            text = (f'rspamd {{ host = "127.0.0.1"; port = {self.scan_port}; }}\n'
                    f'lmtp {{ listen_port = {port}; forward_host = "127.0.0.1"; '
                    f'forward_port = {self.sink_tcp.rsplit(":", 1)[1]}; '
                    f'session {{ timeout_seconds = 120; }} }}\n')
        else:
            path = f"{self.workdir}/{name}.sock"
            address = f"unix:{path}"
            text = (f'rspamd {{ socket_path = "{self.scan_socket}"; }}\n'
                    f'lmtp {{ listen_socket {{ path = "{path}"; permission = "0600"; }} '
                    f'forward_socket_path = "{self.sink_unix[5:]}"; '
                    f'session {{ timeout_seconds = 120; }} }}\n')
        text += f'log {{ file = "{log_file}"; level = "{self.args.log_level}"; }}\n'
        return text, address

    def start_quillgate(self, name, transport, binary=None, wrapper=(), ready_limit=30.0):
        """Starts one quillgate pinned to its core; returns (process, LMTP address)."""
        for attempt in range(3):  # a free port can be taken by another test meanwhile
            text, address = self.config_text(name, transport)
            conf = f"{self.workdir}/{name}.conf"
            with open(conf, "w") as f:
                f.write(text)
            process = self.spawn(self.quillgate_pin + list(wrapper) +
                                 [binary or self.args.quillgate, conf], cwd=self.workdir,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                wait_connectable(address, process, ready_limit)
                return process, address
            except RuntimeError:
                stop(process)
                if attempt == 2:
                    raise
        raise RuntimeError("unreachable")

    def stop_all(self):
        for process in reversed(self.processes):
            stop(process)

    def run_source(self, target, lmtp, size, sessions, count, limit=600, message=None):
        """One smtp-source run (of generated messages of `size` bytes, or of the `message`
        file); returns its wall time in seconds."""
        content = (["-F", message, "-f", "probe@localhost", "-t", "probe@localhost"] if message
                   else ["-l", str(size)])
        command = self.peer_pin + ["smtp-source", "-M", "localhost"] + content + [
            "-s", str(sessions), "-m", str(count)]
        if lmtp:
            command.append("-L")
        command.append(target)
        start = time.monotonic()
        result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True, timeout=limit)
        elapsed = time.monotonic() - start
        if result.returncode != 0:
            raise RuntimeError(f"smtp-source failed ({result.returncode}): "
                               f"{result.stderr.strip()[-400:]}")
        return elapsed

    def start_probe(self, target, size, rate, connections=1, duration=0, count=0, extra=()):
        command = self.peer_pin + [self.args.probe, "--target", target, "--size", str(size),
                                   "--rate", str(rate), "--connections", str(connections),
                                   "--duration", str(duration), "--count", str(count)]
        command += list(extra)
        return self.spawn(command, stdout=subprocess.PIPE, text=True)

    @staticmethod
    def probe_result(process, terminate=False, limit=150):
        """Waits for a probe (after asking it to stop when `terminate`) and parses its summary
        line into a dict."""
        if terminate and process.poll() is None:
            process.send_signal(signal.SIGTERM)
        out, _ = process.communicate(timeout=limit)
        match = re.search(r"probe (.*)", out or "")
        if not match:
            raise RuntimeError("the probe printed no summary")
        return {k: int(v) for k, v in (pair.split("=") for pair in match.group(1).split())}

    def measure_daemon(self, name, size, sessions, count):
        """One load run through a quillgate instance, with the probe beside it."""
        process, address = self.daemons[name]
        reset_peak(process.pid)
        cpu_before = cpu_seconds(process.pid)
        probe_rate = self.args.probe_rate if size < MIB else max(1, self.args.probe_rate // 10)
        probe = self.start_probe(address, size, probe_rate)
        elapsed = self.run_source(address, True, size, sessions, count)
        result = self.probe_result(probe, terminate=True)
        cpu = cpu_seconds(process.pid) - cpu_before
        if result["failed"]:
            raise RuntimeError(f"{result['failed']} probe messages failed through {name}")
        if process.poll() is not None:
            raise RuntimeError(f"{name} exited with {process.returncode}")
        return {
            "rate": count / elapsed,
            "cpu_us": cpu * 1e6 / (count + result["ok"]),
            "peak_mib": memory_kib(process.pid, "VmHWM") / KIB,
            "p50": result["p50_us"] / 1000, "p99": result["p99_us"] / 1000,
            "p999": result["p999_us"] / 1000, "near40": result["near40ms"],
        }

    def matrix(self, paths):
        """Every size and session count, each path side by side, the median of the runs."""
        rows = {}
        for size in self.args.sizes:
            for sessions in self.args.sessions:
                count = self.args.count or max(
                    sessions * 2, int(BASE_COUNTS.get((size, sessions), 500) * self.args.scale))
                samples = {path: [] for path in paths}
                for run in range(self.args.runs):
                    log(f"{size_name(size)}, {sessions} sessions, run {run + 1}/{self.args.runs}")
                    for path in paths:
                        if path.startswith("direct"):
                            sink = self.sink_tcp if path == "direct tcp" else self.sink_unix
                            elapsed = self.run_source(sink, False, size, sessions, count)
                            samples[path].append({"rate": count / elapsed})
                        else:
                            samples[path].append(self.measure_daemon(path, size, sessions, count))
                for path in paths:
                    runs = samples[path]
                    rows[(size, sessions, path)] = {
                        key: median([r[key] for r in runs]) for key in runs[0]
                    }
                    if "near40" in runs[0]:
                        rows[(size, sessions, path)]["near40"] = sum(r["near40"] for r in runs)
                self.print_cell(rows, size, sessions, paths)
        return rows

    @staticmethod
    def direct_of(path):
        return "direct unix" if "unix" in path else "direct tcp"

    def print_cell(self, rows, size, sessions, paths):
        for path in paths:
            row = rows[(size, sessions, path)]
            if path.startswith("direct"):
                print(f"| {size_name(size)} | {sessions} | {path} | {row['rate']:.0f} "
                      f"| 1.00 | | | | | | |", flush=True)
                continue
            direct = rows.get((size, sessions, self.direct_of(path)))
            ratio = row["rate"] / direct["rate"] if direct else 0
            print(f"| {size_name(size)} | {sessions} | {path} | {row['rate']:.0f} | {ratio:.2f} "
                  f"| {row['cpu_us']:.0f} | {row['peak_mib']:.1f} | {row['p50']:.2f} "
                  f"| {row['p99']:.2f} | {row['p999']:.2f} | {row['near40']} |", flush=True)

    def latency_at_fifth(self, name, max_rate):
        """The probe alone at a fifth of `max_rate` over 8 connections: p50, p99, p99.9."""
        rate = max(1.0, max_rate / 5)
        _, address = self.daemons[name]
        results = []
        for _ in range(self.args.runs):
            probe = self.start_probe(address, 4 * KIB, rate, connections=8,
                                     duration=self.args.latency_seconds)
            results.append(self.probe_result(probe))
        p50 = median([r["p50_us"] for r in results]) / 1000
        p99 = median([r["p99_us"] for r in results]) / 1000
        p999 = median([r["p999_us"] for r in results]) / 1000
        near40 = sum(r["near40ms"] for r in results)
        samples = sum(r["ok"] for r in results)
        print(f"latency {name} at {rate:.0f} msg/s (a fifth of {max_rate:.0f}), 4 KiB, "
              f"8 connections: p50 {p50:.2f} ms, p99 {p99:.2f} ms, p99.9 {p999:.2f} ms, "
              f"{near40} of {samples} replies in 30-50 ms", flush=True)

    def memory(self, binary, label):
        """Idle resident memory and the peak with one large message in flight."""
        process, address = self.start_quillgate(f"memory-{label}", "tcp", binary)
        time.sleep(0.5)
        idle = memory_kib(process.pid, "VmRSS")
        size = self.args.large_size
        probe = self.start_probe(address, size, 0, count=1)
        result = self.probe_result(probe, limit=300)
        if result["failed"]:
            raise RuntimeError(f"the {size_name(size)} message failed through {label}")
        peak = memory_kib(process.pid, "VmHWM")
        print(f"memory {label}: idle {idle / KIB:.1f} MiB; one {size_name(size)} message: "
              f"peak {peak / KIB:.1f} MiB = {peak * KIB / size:.2f} x its size "
              f"({(peak - idle) * KIB / size:.2f} x above idle)", flush=True)
        stop(process)

    def long_run(self, binary, label):
        """Resident memory after a first and after a long series of messages."""
        transport = self.args.long_transport
        process, address = self.start_quillgate(f"long-{label}", transport, binary)
        first, total = self.args.long_first, self.args.long_total
        self.run_source(address, True, 4 * KIB, 8, first, limit=3600)
        early = memory_kib(process.pid, "VmRSS")
        log(f"long run {label}: {first} messages, {early / KIB:.1f} MiB; "
            f"{total - first} more to go")
        start = time.monotonic()
        self.run_source(address, True, 4 * KIB, 8, total - first, limit=7200)
        elapsed = time.monotonic() - start
        late = memory_kib(process.pid, "VmRSS")
        growth = (late - early) * 100 / early if early else 0
        print(f"memory {label} ({transport}, 4 KiB, 8 sessions): resident {early / KIB:.1f} MiB "
              f"after {first} messages, "
              f"{late / KIB:.1f} MiB after {total} ({growth:+.1f} %; "
              f"{(total - first) / elapsed:.0f} msg/s)", flush=True)
        stop(process)

    def callgrind(self, binary, label):
        """Instructions per message under callgrind, zeroed after a warm-up."""
        if not shutil.which("valgrind") or not shutil.which("callgrind_control"):
            print(f"callgrind {label}: valgrind not installed, skipped", flush=True)
            return
        out = f"{self.workdir}/callgrind-{label}.out"
        wrapper = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"]
        process, address = self.start_quillgate(f"callgrind-{label}", "tcp", binary, wrapper,
                                                ready_limit=120)
        self.run_source(address, True, 4 * KIB, 1, 20, limit=600)
        subprocess.run(["callgrind_control", "-z", str(process.pid)], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        count = self.args.callgrind_count
        self.run_source(address, True, 4 * KIB, 8, count, limit=1800)
        subprocess.run(["callgrind_control", "-d", str(process.pid)], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        stop(process, limit=60)
        total = 0
        for name in os.listdir(self.workdir):
            if name.startswith(f"callgrind-{label}.out") and name.endswith(".1"):
                with open(os.path.join(self.workdir, name)) as f:
                    for line in f:
                        if line.startswith(("summary:", "totals:")):
                            total = int(line.split()[1])
                            break
        print(f"callgrind {label}: {total / count:.0f} instructions per message "
              f"(4 KiB, 8 sessions, {count} messages)", flush=True)


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    here = os.path.dirname(os.path.abspath(__file__))
    build = os.path.join(os.path.dirname(here), "build-bench")
    parser.add_argument("--quillgate", default=os.path.join(build, "quillgate"))
    parser.add_argument("--stub", default=os.path.join(build, "bench", "bench_stub_scanner"))
    parser.add_argument("--probe", default=os.path.join(build, "bench", "bench_probe"))
    parser.add_argument("--before", help="a second quillgate binary, measured side by side")
    parser.add_argument("--sizes", type=lambda t: [int(x) for x in t.split(",")],
                        default=[4 * KIB, 64 * KIB, MIB])
    parser.add_argument("--sessions", type=lambda t: [int(x) for x in t.split(",")],
                        help="session counts (default 1,8,64; 1,8,32 with --real-rspamd)")
    parser.add_argument("--transports", default="tcp,unix")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--count", type=int, default=0, help="messages per run (0: by size)")
    parser.add_argument("--scale", type=float, default=1.0, help="factor on the message counts")
    parser.add_argument("--probe-rate", type=int, default=100)
    parser.add_argument("--latency-seconds", type=float, default=4)
    parser.add_argument("--large-size", type=int, default=25 * MIB)
    parser.add_argument("--long-first", type=int, default=10000)
    parser.add_argument("--long-total", type=int, default=1000000)
    parser.add_argument("--long-transport", default="tcp", choices=["tcp", "unix"])
    parser.add_argument("--callgrind-count", type=int, default=2000)
    parser.add_argument("--skip", default="", help="comma list of: matrix,latency,memory,long,"
                        "callgrind")
    parser.add_argument("--log-level", default="info")
    parser.add_argument("--quillgate-core", default="0")
    parser.add_argument("--peer-cores", default=f"1-{max(1, (os.cpu_count() or 2) - 1)}")
    parser.add_argument("--no-pin", action="store_true")
    parser.add_argument("--smoke", action="store_true",
                        help="a few seconds of everything, for the test suite")
    parser.add_argument("--real-rspamd", action="store_true",
                        help="instead of the stub scanner: Debian's Rspamd, privately in a network "
                        "namespace (needs root), against quillgate in front of it")
    parser.add_argument("--rspamd-workers", type=lambda t: [int(x) for x in t.split(",")],
                        default=[1, 4], help="normal-worker processes, one Rspamd each")
    parser.add_argument("--rspamd-cores", default=None,
                        help="cores for Rspamd (default 1-4 on 8 cores or more, else any)")
    parser.add_argument("--rspamd-cache", default=os.environ.get("QUILLGATE_BENCH_RSPAMD_CACHE"),
                        help="a directory that keeps Rspamd's compiled expressions between runs")
    parser.add_argument("--message", default=os.path.join(here, "message.eml"),
                        help="the message of the real-Rspamd mode")
    parser.add_argument("--real-latency-rate", type=int, default=50)
    args = parser.parse_args()
    if args.real_rspamd:
        set_real_rspamd_defaults(args)
    args.sessions = args.sessions or [1, 8, 64]
    if args.smoke and args.real_rspamd:
        args.rspamd_workers, args.sessions, args.runs, args.count = [1], [8], 1, 40
        args.latency_seconds, args.no_pin = 0.5, True
    elif args.smoke:
        args.sizes, args.sessions, args.runs, args.count = [4 * KIB], [8], 1, 64
        args.latency_seconds, args.large_size = 0.5, 1 * MIB
        args.long_first, args.long_total = 40, 100
        args.skip += ",callgrind"
        args.no_pin = True
    args.skip = set(filter(None, args.skip.split(",")))
    for name in ("quillgate", "stub", "probe", "before", "message"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    return args


def set_real_rspamd_defaults(args):
    """Quillgate on its core, Rspamd on four others, the load and the sink on the rest."""
    cores = os.cpu_count() or 1
    args.sessions = args.sessions or [1, 8, 32]
    if cores >= 8 and not args.no_pin:
        args.rspamd_cores = args.rspamd_cores or "1-4"
        if args.peer_cores == f"1-{cores - 1}":
            args.peer_cores = f"5-{cores - 1}"
    elif not args.no_pin and not args.rspamd_cores:
        args.no_pin = True


def main_real_rspamd(args):
    """The real-Rspamd mode, inside its own network namespace."""
    for tool in ("rspamd", "smtp-source", "smtp-sink", "unshare", "ip"):
        if not shutil.which(tool):
            print(f"{tool} not found (scripts/install-deps.sh): real-Rspamd benchmark skipped")
            return 77
    if not real_rspamd.enter_network_namespace():
        print("the real-Rspamd benchmark runs Rspamd in a network namespace and needs root: "
              "skipped")
        return 77
    if args.no_pin:
        args.rspamd_cores = None
    workdir = tempfile.mkdtemp(prefix="quillgate-bench-")
    os.chmod(workdir, 0o755)  # smtp-sink and Rspamd drop to unprivileged users
    bench = Bench(args, workdir)
    try:
        real_rspamd.RealBench(bench, args, free_port, log).run()
    finally:
        bench.stop_all()
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


def main():
    args = parse_args()
    if args.real_rspamd:
        return main_real_rspamd(args)
    for tool in ("smtp-source", "smtp-sink"):
        if not shutil.which(tool):
            print(f"{tool} not found (Debian package postfix): benchmark skipped")
            return 77
    if not args.no_pin and not shutil.which("taskset"):
        args.no_pin = True
    workdir = tempfile.mkdtemp(prefix="quillgate-bench-")
    os.chmod(workdir, 0o755)  # smtp-sink drops to an unprivileged user
    bench = Bench(args, workdir)
    labels = [("", args.quillgate)] + ([("before ", args.before)] if args.before else [])
    transports = [t for t in args.transports.split(",") if t]
    try:
        bench.start_peers()
        paths = []
        for transport in transports:
            paths.append(f"direct {transport}")
            for label, binary in labels:
                name = f"{label}{transport}"
                bench.daemons[name] = bench.start_quillgate(name.replace(" ", "-"), transport,
                                                            binary)
                paths.append(name)
        print(f"quillgate on core {args.quillgate_core if not args.no_pin else '(any)'}, peers "
              f"on cores {args.peer_cores if not args.no_pin else '(any)'}; median of "
              f"{args.runs} runs; latency from the final \".\" to the reply, by the probe")
        print()
        print("| size | sessions | path | msg/s | ratio to direct | CPU µs/msg | peak RSS MiB "
              "| p50 ms | p99 ms | p99.9 ms | replies 30-50 ms |")
        print("|---|---|---|---|---|---|---|---|---|---|---|")
        rows = bench.matrix(paths) if "matrix" not in args.skip else {}
        print()
        for label, _ in labels:
            name = f"{label}tcp"
            if "latency" in args.skip or name not in bench.daemons:
                continue
            cell = rows.get((4 * KIB, 8, name)) or rows.get((args.sizes[0], args.sessions[0],
                                                            name))
            if cell:
                bench.latency_at_fifth(name, cell["rate"])
        for label, binary in labels:
            tag = (label.strip() or "current")
            if "memory" not in args.skip:
                bench.memory(binary, tag)
            if "long" not in args.skip:
                bench.long_run(binary, tag)
            if "callgrind" not in args.skip:
                bench.callgrind(binary, tag)
        for label, _ in labels:
            key = (4 * KIB, 8, f"{label}tcp")
            if key not in rows:
                key = next((k for k in rows if k[2] == f"{label}tcp"), None)
            if key is None:
                continue
            row, direct = rows[key], rows.get((key[0], key[1], "direct tcp"))
            ratio = row["rate"] / direct["rate"] if direct else 0
            print(f"summary{(' ' + label.strip()) if label else ''}: {size_name(key[0])}, "
                  f"{key[1]} sessions, TCP: {row['rate']:.0f} msg/s ({ratio:.2f} x direct "
                  f"{direct['rate'] if direct else 0:.0f} msg/s), {row['cpu_us']:.0f} µs CPU "
                  f"per message", flush=True)
    finally:
        bench.stop_all()
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
