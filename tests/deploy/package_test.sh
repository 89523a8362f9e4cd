#!/usr/bin/env bash
# The Debian package end to end: cpack builds it from the build tree,
# lintian finds no error in it, dpkg installs it, the installed unit passes
# systemd-analyze, the installed host (without --module) stores and serves a
# value on a free loopback port and reads its settings through the link to
# /etc, and the package purges cleanly. Whatever happens, the host is killed
# by its pid and the package purged on the way out.
#
#   package_test.sh BUILD_DIR        (as root; exit 77 when it cannot run)
set -euo pipefail

build=$(cd "$1" && pwd)
unit=/lib/systemd/system/pendrakel.service
# Highest systemd-analyze exposure the unit may reach (README records it).
max_exposure=2.0

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

[[ $(id -u) -eq 0 ]] || skip "installing a package needs root"
if dpkg-query -W -f='${Status}' pendrakel 2>/dev/null | grep -q "ok installed"; then
  skip "a pendrakel package is already installed here; leaving it alone"
fi
for tool in cpack lintian curl; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done

work=$(mktemp -d /tmp/pendrakel-package.XXXXXX)
pid=""
installed=0

# dpkg refuses at once while another dpkg or apt holds its lock: wait for it
# (bounded) rather than fail.
dpkg_waiting() {
  local _
  for _ in $(seq 60); do
    if timeout 120 dpkg "$@" >"$work/dpkg.log" 2>&1; then return 0; fi
    grep -q "lock" "$work/dpkg.log" || break
    sleep 1
  done
  cat "$work/dpkg.log" >&2
  return 1
}

cleanup() {
  if [[ -n $pid ]]; then kill -KILL "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  if [[ $installed -eq 1 ]]; then dpkg_waiting --purge pendrakel || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Starts the installed host in the background on a free port; sets pid and
# port, or fails after 10 s without its listening line.
start_host() {
  (cd / && exec /usr/bin/pendrakel-host --listen 127.0.0.1:0) >"$work/host.out" 2>&1 &
  pid=$!
  local _
  for _ in $(seq 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/host.out")
    [[ -n $port ]] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  fail "installed host did not start: $(cat "$work/host.out")"
}

# Sends SIGTERM and expects exit 0 within 10 s.
stop_host() {
  kill -TERM "$pid"
  local _ status=0
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && fail "host still running 10 s after SIGTERM"
  wait "$pid" || status=$?
  pid=""
  [[ $status -eq 0 ]] || fail "host exited with $status after SIGTERM"
}

echo "== cpack"
timeout 120 cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/pendrakel_*.deb)
dpkg-deb -f "$deb" Depends | grep -q "libsystemd0" || fail "Depends lacks the shared libraries: $(dpkg-deb -f "$deb" Depends)"

echo "== lintian"
lint_status=0
timeout 300 lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || lint_status=$?
grep -v "running with root privileges" "$work/lintian.log" || true
[[ $lint_status -eq 0 ]] || fail "lintian reports errors"

echo "== dpkg -i"
dpkg_waiting -i "$deb" || fail "dpkg -i"
installed=1
[[ $(readlink /usr/lib/pendrakel/Pendrakel.setting) == /etc/pendrakel/Pendrakel.setting ]] ||
  fail "the module's settings file does not link to /etc/pendrakel"
dpkg-query -W -f='${Conffiles}' pendrakel | grep -q /etc/pendrakel/Pendrakel.setting ||
  fail "/etc/pendrakel/Pendrakel.setting is not a conffile"

echo "== systemd unit"
if command -v systemd-analyze >/dev/null; then
  # The unit's Documentation= man page is checked only where man exists.
  man_check=yes
  command -v man >/dev/null || man_check=no
  timeout 60 systemd-analyze verify --man="$man_check" "$unit" || fail "systemd-analyze verify $unit"
  timeout 60 systemd-analyze security --offline=yes --threshold="${max_exposure/./}" "$unit" \
    >"$work/security.log" 2>&1 || { tail -3 "$work/security.log"; fail "exposure above $max_exposure"; }
  tail -1 "$work/security.log"
else
  echo "skipped: systemd-analyze is not installed here"
fi

echo "== installed host serves the shipped settings"
start_host
code=$(curl -s -m 5 -o /dev/null -w '%{http_code}' -X PUT --data-binary 'packaged' \
  "http://127.0.0.1:$port/greeting")
[[ $code == 201 ]] || fail "PUT answered $code"
body=$(curl -s -m 5 "http://127.0.0.1:$port/greeting")
[[ $body == packaged ]] || fail "GET gave \"$body\""
stop_host

echo "== installed module reads /etc/pendrakel/Pendrakel.setting"
echo '<Settings><GC Limit="soon"/></Settings>' >/etc/pendrakel/Pendrakel.setting
status=0
timeout 10 /usr/bin/pendrakel-host --listen 127.0.0.1:0 >"$work/bad.out" 2>&1 || status=$?
[[ $status -eq 1 ]] || fail "a bad settings file gave exit $status, not 1: $(cat "$work/bad.out")"

echo "== dpkg --purge"
dpkg_waiting --purge pendrakel || fail "dpkg --purge"
installed=0
for path in /usr/bin/pendrakel-host /usr/lib/pendrakel /etc/pendrakel "$unit"; do
  [[ ! -e $path ]] || fail "$path is left after purge"
done
echo "package test passed"
