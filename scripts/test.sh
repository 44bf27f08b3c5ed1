#!/usr/bin/env bash
# Installs what is missing, checks the formatting of the sources, builds quillgate with
# AddressSanitizer, UndefinedBehaviorSanitizer and warnings as errors, runs every fuzz target for a
# bounded time, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# The formatting against .clang-format, with the clang-format release the tree is formatted with:
# other releases lay out some constructs differently.
clang_format=clang-format-14
if ! "$clang_format" --version | grep -q 'version 14\.'; then
  echo "the formatting check needs clang-format 14 ($clang_format)"
  exit 1
fi
mapfile -t sources < <(find src tests fuzz bench -name '*.cpp' -o -name '*.hpp' | sort)
if ! "$clang_format" --dry-run --Werror "${sources[@]}"; then
  echo "formatting differs from .clang-format: run $clang_format -i on the files above"
  exit 1
fi

build=build-asan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLGATE_SANITIZE=ON \
  -DQUILLGATE_WERROR=ON
cmake --build "$build"

# Each fuzz target for a bounded time (clang, libFuzzer); a crash fails the run.
QUILLGATE_FUZZ_JOBS="$(nproc)" QUILLGATE_WERROR=ON fuzz/run.sh "${QUILLGATE_FUZZ_SECONDS:-20}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600
