#!/usr/bin/env bash
# Builds quillgate's libFuzzer targets with clang and runs each for a bounded time, failing when a
# target crashes. Usage: fuzz/run.sh [SECONDS_PER_TARGET (default 30)] [TARGET...]
# QUILLGATE_WERROR=ON builds with warnings as errors.
# The build and the growing corpora live in build-fuzz/ (or $QUILLGATE_FUZZ_BUILD); the seed corpora
# in fuzz/corpus/<target>/ are only read.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
shift || true
build="${QUILLGATE_FUZZ_BUILD:-build-fuzz}"
jobs="${QUILLGATE_FUZZ_JOBS:-2}"

mkdir -p "$build"
cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLGATE_WERROR="${QUILLGATE_WERROR:-OFF}" \
  >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }

if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(grep -v '^$' "$build/fuzz_targets.txt")
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz target was built"
  exit 1
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
for target in "${targets[@]}"; do
  seeds="fuzz/corpus/$target"
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target/"
  log="$build/$target.log"
  mkdir -p "$work" "$artifacts" "$seeds"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
    -artifact_prefix="$artifacts")
  [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
  # The readers of nested texts meet their depth limits only with inputs far longer than
  # libFuzzer's default of 4,096 bytes.
  case "$target" in
    fuzz_scan_reply | fuzz_ucl_reader | fuzz_load_config) options+=(-max_len=65536) ;;
  esac
  echo "== $target: building"
  if ! cmake --build "$build" -j "$jobs" --target "$target" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "== $target: FAILED to build"
    failed+=("$target")
    continue
  fi
  echo "== $target: running ${seconds} s"
  if "$build/$target" "${options[@]}" "$work" "$seeds" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed+=("$target")
    tail -n 60 "$log"
  fi
  summary="$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)"
  execs="$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' || true)"
  echo "== $target: $status, ${execs:-?} executions, last: ${summary:-none}"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets failed: ${failed[*]} (inputs in $build/artifacts/)"
  exit 1
fi
echo "all ${#targets[@]} fuzz targets ran ${seconds} s without a crash"
