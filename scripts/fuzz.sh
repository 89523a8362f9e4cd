#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UBSan (in
# build-fuzz/) and runs each for a bounded time on its seed corpus. Any
# crash, leak, sanitizer report, time-out or broken check fails the run.
#
#   scripts/fuzz.sh                 every target, 60 seconds each
#   scripts/fuzz.sh --seconds 300   longer runs
#   scripts/fuzz.sh --only NAME     one target (e.g. extension_fuzzer)
#
# The checked-in seeds (fuzz/corpus/NAME) are only read: new inputs go to a
# temporary working corpus, and a crashing input is kept under
# build-fuzz/crashes/ and named in the output.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
only=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --seconds) seconds="${2:?--seconds needs a number}"; shift 2 ;;
    --seconds=*) seconds="${1#--seconds=}"; shift ;;
    --only) only="${2:?--only needs a target name}"; shift 2 ;;
    --only=*) only="${1#--only=}"; shift ;;
    *) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz.sh: --seconds wants a whole number above 0, not '$seconds'" >&2
  exit 2
fi

scripts/install-deps.sh

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DPENDRAKEL_SANITIZE=address,undefined \
  -DPENDRAKEL_BUILD_FUZZ=ON >/dev/null
ninja -C "$build" fuzzers

mapfile -t targets < "$build/fuzz/fuzzers.txt"
if [[ -n "$only" ]]; then
  if ! printf '%s\n' "${targets[@]}" | grep -qx -- "$only"; then
    echo "fuzz.sh: no fuzz target named $only" >&2
    exit 2
  fi
  targets=("$only")
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/pendrakel-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/crashes"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
for target in "${targets[@]}"; do
  [[ -n "$target" ]] || continue
  seeds="fuzz/corpus/$target"
  corpus="$work/$target"
  mkdir -p "$corpus" "$work/artifacts-$target"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048
           -print_final_stats=1 -artifact_prefix="$work/artifacts-$target/")
  if [[ -f "fuzz/$target.dict" ]]; then options+=(-dict="fuzz/$target.dict"); fi
  echo "== $target: $seconds s on $seeds"
  if ! "$build/fuzz/$target" "${options[@]}" "$corpus" "$seeds" \
      > "$work/$target.log" 2>&1; then
    tail -n 60 "$work/$target.log"
    cp -f "$work/artifacts-$target/"* "$build/crashes/" 2>/dev/null || true
    echo "== $target FAILED; input kept in $build/crashes/ (replay: $build/fuzz/$target FILE):" \
      "$(ls "$work/artifacts-$target/" 2>/dev/null | tr '\n' ' ')"
    failed+=("$target")
    continue
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb|new_units_added):' \
    "$work/$target.log" | sed 's/^/   /'
done

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzz.sh: failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz.sh: all targets ran clean"
