#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
#
#   scripts/test.sh                         plain build (build/)
#   scripts/test.sh --sanitize=address,undefined   (build-asan/, clang)
#   scripts/test.sh --sanitize=thread              (build-tsan/, clang)
#   scripts/test.sh --slow                  also the slow soak tests
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
slow=0
for arg in "$@"; do
  case "$arg" in
    --sanitize=*) sanitize="${arg#--sanitize=}" ;;
    --slow) slow=1 ;;
    *) echo "test.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

# The plain build also runs the cluster tests (HAProxy, a certificate made
# with openssl, headless Chromium driven over its debugging protocol).
if [[ -z "$sanitize" ]]; then
  scripts/install-deps.sh haproxy openssl chromium python3-websocket
else
  scripts/install-deps.sh
fi

build=build
cmake_args=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPENDRAKEL_BUILD_TESTS=ON
            -DPENDRAKEL_BUILD_SERVER=ON)
if [[ -n "$sanitize" ]]; then
  case "$sanitize" in
    thread) build=build-tsan ;;
    *) build=build-asan ;;
  esac
  cmake_args+=(-DCMAKE_CXX_COMPILER=clang++ "-DPENDRAKEL_SANITIZE=$sanitize")
fi

cmake -S . -B "$build" "${cmake_args[@]}" >/dev/null
ninja -C "$build"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
ctest_args=(--test-dir "$build" --output-on-failure -j2 --timeout 600)
if [[ $slow -eq 0 ]]; then ctest_args+=(-LE slow); fi
ctest "${ctest_args[@]}"
