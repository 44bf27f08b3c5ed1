"""The benchmark's real-Rspamd mode: Debian's Rspamd runs privately (its own configuration, data
and log directories in the benchmark's temporary directory, network modules off) inside the
network namespace that bench.py enters for this mode, with 1 and with 4 normal-worker processes.
For each worker count and session count it measures, side by side, Rspamd's own rate for the
request quillgate sends ("/checkV2", a new connection each) and the rate through quillgate
(smtp-source -L, quillgate, Rspamd, smtp-sink), with each side's CPU time per message, then the
latency quillgate adds to the scan at a light load.
"""

import http.client
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# Modules that reach the network (DNS lists, SPF/DKIM/DMARC/ARC lookups, the phishing module's
# DNS checks, fuzzy storage, map updates); everything else runs as in a stock installation.
# Without a resolver each of them would wait for DNS time-outs.
NETWORK_MODULES = ("fuzzy_check", "rbl", "surbl", "emails", "asn", "spf", "dkim", "dmarc", "arc",
                   "hfilter", "rspamd_update", "phishing")

# Messages per run for (worker processes, sessions): a few seconds each on the development VM.
REAL_COUNTS = {
    (1, 1): 300, (1, 8): 800, (1, 32): 800,
    (4, 1): 300, (4, 8): 2000, (4, 32): 2500,
}


def process_cpu_seconds(pid):
    """User plus system time of one process (its own, not its children's), 0 when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Rspamd:
    """One private Rspamd instance with `workers` normal-worker processes on 127.0.0.1:`port`."""

    def __init__(self, workdir, port, workers, cache, pin):
        self.root = os.path.join(workdir, f"rspamd-{workers}")
        self.port = port
        self.workers = workers
        self.cache = cache
        self.pin = pin
        self.pid = 0

    def write_config(self):
        local = os.path.join(self.root, "local")
        for sub in ("local/local.d", "local/override.d", "db", "run", "log"):
            os.makedirs(os.path.join(self.root, sub), exist_ok=True)
        if self.cache and os.path.isdir(self.cache):
            shutil.copytree(self.cache, os.path.join(self.root, "db"), dirs_exist_ok=True)
        files = {
            "override.d/worker-normal.inc":
                f'bind_socket = "127.0.0.1:{self.port}";\ncount = {self.workers};\n',
            "override.d/worker-controller.inc": "enabled = false;\n",
            "override.d/worker-proxy.inc": "enabled = false;\n",
            "local.d/options.inc":
                'dns { nameserver = ["127.0.0.1:53"]; timeout = 0.5s; retransmits = 1; }\n',
            # As a production set-up asks: header edits in every reply.
            "local.d/milter_headers.conf":
                'use = ["x-spamd-result", "x-spam-status", "remove-spam-flag"];\n'
                "extended_spam_headers = true;\nskip_local = false;\n"
                "skip_authenticated = false;\n",
        }
        for module in NETWORK_MODULES:
            files[f"local.d/{module}.conf"] = "enabled = false;\n"
        for name, text in files.items():
            with open(os.path.join(local, name), "w") as f:
                f.write(text)
        for sub in ("db", "run", "log"):
            shutil.chown(os.path.join(self.root, sub), "_rspamd", "_rspamd")
            for entry in os.listdir(os.path.join(self.root, sub)):
                shutil.chown(os.path.join(self.root, sub, entry), "_rspamd", "_rspamd")

    def start(self, compiled=True, limit=120.0):
        """Starts Rspamd and waits until every worker answers and, when `compiled`, until the
        regular expressions are compiled (before that Rspamd scans more slowly)."""
        self.write_config()
        command = self.pin + [
            "rspamd", "-c", "/etc/rspamd/rspamd.conf", "-u", "_rspamd", "-g", "_rspamd",
            f"--var=LOCAL_CONFDIR={self.root}/local", f"--var=DBDIR={self.root}/db",
            f"--var=RUNDIR={self.root}/run", f"--var=LOGDIR={self.root}/log"]
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if self.read_pid() and len(self.worker_pids()) >= self.workers and self.ping() \
                    and (not compiled or self.regexps_ready()):
                return
            time.sleep(0.2)
        raise RuntimeError(f"Rspamd ({self.workers} workers) was not ready within {limit} s; "
                           f"see {self.root}/log/rspamd.log")

    def read_pid(self):
        try:
            with open(os.path.join(self.root, "run", "rspamd.pid")) as f:
                self.pid = int(f.read().strip() or 0)
        except (OSError, ValueError):
            self.pid = 0
        return self.pid

    def worker_pids(self):
        """The main process's children: its workers (normal and helpers)."""
        try:
            with open(f"/proc/{self.pid}/task/{self.pid}/children") as f:
                return [int(p) for p in f.read().split()]
        except OSError:
            return []

    def ping(self):
        try:
            connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=2)
            connection.request("GET", "/ping")
            ok = b"pong" in connection.getresponse().read()
            connection.close()
            return ok
        except OSError:
            return False

    def regexps_ready(self):
        """True once the log says that the expressions are compiled and every worker has them:
        the helper compiled none (the cache had them all, loaded before the workers started),
        or each worker loaded the new database; also true for a Rspamd without hyperscan."""
        try:
            with open(os.path.join(self.root, "log", "rspamd.log"), errors="replace") as f:
                text = f.read()
        except OSError:
            return False
        if "hyperscan" not in text:
            return True
        compiled = re.search(r"compiled (\d+) regular expressions", text)
        if not compiled:
            return False
        loaded = [line for line in text.splitlines()
                  if "(normal)" in line and "hyperscan database of" in line]
        return compiled.group(1) == "0" or len(loaded) >= self.workers

    def cpu_seconds(self):
        """CPU time of the main process and of every worker so far."""
        return sum(process_cpu_seconds(p) for p in [self.pid] + self.worker_pids())

    def stop(self):
        if not self.pid:
            return
        try:
            os.kill(self.pid, 15)
        except ProcessLookupError:
            self.pid = 0
            return
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and os.path.exists(f"/proc/{self.pid}"):
            time.sleep(0.1)
        if os.path.exists(f"/proc/{self.pid}"):
            os.kill(self.pid, 9)
        self.pid = 0

    def save_cache(self):
        """Keeps the compiled expressions for the next run, renamed into place whole."""
        if not self.cache:
            return
        parent = os.path.dirname(os.path.abspath(self.cache))
        os.makedirs(parent, exist_ok=True)
        fresh = tempfile.mkdtemp(prefix=os.path.basename(self.cache) + ".new.", dir=parent)
        db = os.path.join(self.root, "db")
        for entry in os.listdir(db):
            if os.path.isfile(os.path.join(db, entry)) and not entry.endswith(".new") and \
                    entry not in ("rspamd.sock", "rspamd.history"):
                shutil.copy2(os.path.join(db, entry), fresh)
        old = self.cache + f".old.{os.getpid()}"
        if os.path.isdir(self.cache):
            os.rename(self.cache, old)
        os.rename(fresh, self.cache)
        shutil.rmtree(old, ignore_errors=True)


def median_row(runs):
    """The median of every figure over the runs."""
    return {key: statistics.median(r[key] for r in runs) for key in runs[0]}


class RealBench:
    """The measurements of the real-Rspamd mode, made with the peers of a bench.Bench."""

    def __init__(self, bench, args, free_port, log):
        self.bench = bench
        self.args = args
        self.free_port = free_port
        self.log = log
        self.message_args = ["--message", args.message]

    def scan_alone(self, rspamd, sessions, count):
        """Rspamd's own rate: `count` requests over `sessions` connections at once, back to back,
        a new connection each."""
        before = rspamd.cpu_seconds()
        probe = self.bench.start_probe(f"127.0.0.1:{rspamd.port}", 0, 0, sessions, count=count,
                                       extra=self.message_args + ["--protocol", "checkv2"])
        result = self.bench.probe_result(probe, limit=600)
        if result["failed"] or result["ok"] != count:
            raise RuntimeError(f"{result['failed']} of {count} scans failed")
        return {"rate": count * 1e6 / result["elapsed_us"],
                "rspamd_alone_us": (rspamd.cpu_seconds() - before) * 1e6 / count}

    def through(self, rspamd, name, sessions, count):
        """The rate through quillgate: smtp-source -L with `sessions` at once."""
        process, address = self.bench.daemons[name]
        quillgate_before, rspamd_before = process_cpu_seconds(process.pid), rspamd.cpu_seconds()
        elapsed = self.bench.run_source(address, True, 0, sessions, count,
                                        message=self.args.message)
        if process.poll() is not None:
            raise RuntimeError(f"quillgate exited with {process.returncode}")
        return {"rate": count / elapsed,
                "quillgate_us": (process_cpu_seconds(process.pid) - quillgate_before) * 1e6 / count,
                "rspamd_us": (rspamd.cpu_seconds() - rspamd_before) * 1e6 / count}

    def count(self, workers, sessions):
        if self.args.count:
            return max(sessions * 2, self.args.count)
        return max(sessions * 2, int(REAL_COUNTS.get((workers, sessions), 500) * self.args.scale))

    def cell(self, rspamd, name, sessions):
        """Both paths at one session count, alternating, the median of the runs."""
        count = self.count(rspamd.workers, sessions)
        alone, through = [], []
        for run in range(self.args.runs):
            self.log(f"{rspamd.workers} Rspamd processes, {sessions} sessions, "
                      f"run {run + 1}/{self.args.runs}")
            alone.append(self.scan_alone(rspamd, sessions, count))
            through.append(self.through(rspamd, name, sessions, count))
        a, t = median_row(alone), median_row(through)
        print(f"| {rspamd.workers} | {sessions} | {a['rate']:.0f} | {t['rate']:.0f} "
              f"| {t['rate'] / a['rate']:.2f} | {t['quillgate_us']:.0f} "
              f"| {a['rspamd_alone_us']:.0f} | {t['rspamd_us']:.0f} |", flush=True)

    def latency(self, rspamd, name):
        """One message at a time at a light rate: the scan alone against end of data to reply
        through quillgate."""
        _, address = self.bench.daemons[name]
        rate, seconds = self.args.real_latency_rate, self.args.latency_seconds
        scan = self.bench.probe_result(self.bench.start_probe(
            f"127.0.0.1:{rspamd.port}", 0, rate, 1, duration=seconds,
            extra=self.message_args + ["--protocol", "checkv2"]))
        lmtp = self.bench.probe_result(self.bench.start_probe(
            address, 0, rate, 1, duration=seconds, extra=self.message_args))
        if scan["failed"] or lmtp["failed"]:
            raise RuntimeError("latency probe: failed messages")
        added = (lmtp["p50_us"] - scan["p50_us"]) / 1000
        return (f"latency, {rspamd.workers} Rspamd processes, one message at a time at {rate}/s: "
                f"scan alone p50 {scan['p50_us'] / 1000:.2f} ms (p99 {scan['p99_us'] / 1000:.2f}), "
                f"through quillgate p50 {lmtp['p50_us'] / 1000:.2f} ms "
                f"(p99 {lmtp['p99_us'] / 1000:.2f}) from end of data to reply: quillgate adds "
                f"{added:.2f} ms at the median")

    def run(self):
        """Every worker count: Rspamd started, quillgate in front of it, the table's rows, then
        the latency lines."""
        args, workdir = self.args, self.bench.workdir
        self.bench.start_sinks(("tcp",))
        print(f"Rspamd {', '.join(map(str, args.rspamd_workers))} normal-worker processes "
              f"(cores {args.rspamd_cores or '(any)'}), network modules off; quillgate on core "
              f"{args.quillgate_core if not args.no_pin else '(any)'}, everything over TCP on "
              f"loopback; {os.path.basename(args.message)}; median of {args.runs} runs")
        print()
        print("| Rspamd processes | sessions | Rspamd alone msg/s | through quillgate msg/s "
              "| ratio | quillgate CPU µs/msg | Rspamd CPU µs/msg alone "
              "| Rspamd CPU µs/msg through |")
        print("|---|---|---|---|---|---|---|---|")
        pin = ["taskset", "-c", args.rspamd_cores] if args.rspamd_cores else []
        latencies = []
        for workers in args.rspamd_workers:
            rspamd = Rspamd(workdir, self.free_port(), workers, args.rspamd_cache, pin)
            try:
                self.log(f"starting Rspamd with {workers} normal-worker processes")
                # The smoke run checks that the mode runs, not its figures: with the compiled
                # expressions of an earlier run at hand it need not wait for them again.
                compiled = not (args.smoke and args.rspamd_cache and
                                os.path.isdir(args.rspamd_cache))
                rspamd.start(compiled)
                if compiled:
                    rspamd.save_cache()
                self.bench.scan_port = rspamd.port
                name = f"real-{workers}"
                self.bench.daemons[name] = self.bench.start_quillgate(name, "tcp")
                # Each Rspamd worker is slow for its first few hundred messages (caches, Lua):
                # a warm-up on each path, scaled to the workers, before the figures.
                warm_up = 40 if args.smoke else 300 * workers
                self.scan_alone(rspamd, 8, warm_up)
                self.through(rspamd, name, 8, warm_up // 3)
                for sessions in args.sessions:
                    self.cell(rspamd, name, sessions)
                latencies.append(self.latency(rspamd, name))
            finally:
                rspamd.stop()
        print()
        for line in latencies:
            print(line, flush=True)


def enter_network_namespace():
    """Runs this script again inside a new network namespace with loopback up, so that Rspamd
    never reaches the system's resolver; returns only inside it. None when that is impossible."""
    if os.environ.get("QUILLGATE_BENCH_IN_NETNS") == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return True
    if os.geteuid() != 0:
        return None
    os.environ["QUILLGATE_BENCH_IN_NETNS"] = "1"
    os.execvp("unshare", ["unshare", "--net", "--", sys.executable] + sys.argv)
