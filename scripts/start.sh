#!/usr/bin/env bash
# Installs what is missing, builds a release build and starts pendrakel-host
# on 127.0.0.1:8080 with the embedded defaults. Extra arguments go to the
# host (see pendrakel-host --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPENDRAKEL_BUILD_TESTS=OFF >/dev/null
ninja -C build-release pendrakel pendrakel-host
exec build-release/server/pendrakel-host --listen 127.0.0.1:8080 "$@"
