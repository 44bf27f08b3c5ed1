#!/usr/bin/env bash
# Installs what is missing, builds quillgate with AddressSanitizer and UndefinedBehaviorSanitizer,
# runs every fuzz target for a bounded time, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=build-asan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLGATE_SANITIZE=ON
cmake --build "$build"

# Each fuzz target for a bounded time (clang, libFuzzer); a crash fails the run.
QUILLGATE_FUZZ_JOBS="$(nproc)" fuzz/run.sh "${QUILLGATE_FUZZ_SECONDS:-20}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600
