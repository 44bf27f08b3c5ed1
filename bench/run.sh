#!/usr/bin/env bash
# The benchmark in one command: builds quillgate and the bench's peers optimised (build-bench),
# then runs the whole matrix, the latency, memory and instruction figures (see bench.py --help;
# arguments are passed on, e.g. --runs 3 or --skip long,callgrind; --real-rspamd, as root,
# measures quillgate in front of Debian's Rspamd instead).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-bench
# RelWithDebInfo (-O2 -g): symbols for perf and callgrind; gcc 12 at -O3 stops on false
# -Wrestrict warnings in libstdc++.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" --target quillgate bench_stub_scanner bench_probe
exec python3 bench/bench.py --quillgate "$build/quillgate" \
  --stub "$build/bench/bench_stub_scanner" --probe "$build/bench/bench_probe" "$@"
