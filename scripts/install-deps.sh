#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, skipping those
# already present. Run as root on Debian 12.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libxml2-dev libboost-dev libboost-context-dev libcli11-dev libabsl-dev
  libsystemd-dev liburing-dev libssl-dev openssl pkg-config help2man
  curl procps python3 python3-prometheus-client
  dpkg-dev lintian file
)
if [[ $# -gt 0 ]]; then packages+=("$@"); fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
