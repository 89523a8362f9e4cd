#!/usr/bin/env bash
# A cluster on this machine: N pendrakel-host instances on free loopback
# ports, each with its admin listener, and HAProxy in front of them, set up
# from deploy/haproxy/pendrakel.cfg as a real deployment would be.
#
#   scripts/cluster.sh --instances N --listen ADDR:PORT [--settings FILE] [--tls-cert PEM]
#
#   --instances N     how many instances (1 to 32)
#   --listen ADDR:PORT  where HAProxy listens (IPv6 as [::1]:8080); port 0
#                     picks a free one
#   --settings FILE   the Pendrakel.setting of every instance (none: the
#                     defaults). With <Cookie Distribute="true" Name="pk"/>
#                     each client stays on the instance that gave it its
#                     cookie; otherwise requests go by a consistent hash of
#                     the client's own Cookie header, or else of the value
#                     name
#   --tls-cert PEM    certificate and private key in one PEM file: HAProxy
#                     speaks TLS with it (plain HTTP without it)
#
# Prints, each on one line once it is ready,
#   instance K pid PID listening on ADDR:PORT admin ADDR:PORT
# for K = 1..N, then
#   cluster listening on ADDR:PORT
# and stays in the foreground; SIGTERM or SIGINT stops every process it
# started, by its id, and whatever ends the script (a SIGKILL too) sends each
# of them SIGTERM. An instance that ends is reported on standard error and
# HAProxy's health checks take it out; if HAProxy ends, everything stops.
#
# Installs what is missing (haproxy and the build's packages) and builds a
# release build in build-release/, unless PENDRAKEL_HOST_BINARY and
# PENDRAKEL_MODULE name a host and a module to run instead (the tests do).
# Everything but the lines above goes to standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
readonly ROOT="$PWD"
readonly TEMPLATE="$ROOT/deploy/haproxy/pendrakel.cfg"

# Instances one script may start.
readonly MAX_INSTANCES=32
# Bounded waits, in tenths of a second: for a process to be ready, and for
# one to end after SIGTERM (the host's shutdown grace is 5 s) before SIGKILL.
readonly START_TIMEOUT_TENTHS=150
readonly STOP_TIMEOUT_TENTHS=100

# Bad input: exit 2. Anything that fails on the way: exit 1.
refuse() {
  echo "cluster.sh: $*" >&2
  exit 2
}
fail() {
  echo "cluster.sh: $*" >&2
  exit 1
}

instances="" listen="" settings="" tls_cert=""
while [[ $# -gt 0 ]]; do
  [[ $# -ge 2 ]] || refuse "$1 needs a value (see the head of $0)"
  case "$1" in
    --instances) instances=$2 ;;
    --listen) listen=$2 ;;
    --settings) settings=$2 ;;
    --tls-cert) tls_cert=$2 ;;
    *) refuse "unknown option $1 (see the head of $0)" ;;
  esac
  shift 2
done

[[ "$instances" =~ ^[1-9][0-9]*$ && "$instances" -le $MAX_INSTANCES ]] ||
  refuse "--instances wants a number from 1 to $MAX_INSTANCES, not '$instances'"
readonly IPV6_ADDRESS_PORT='^\[([0-9A-Fa-f:.]+)\]:([0-9]+)$'
readonly ADDRESS_PORT='^([0-9A-Za-z.-]+):([0-9]+)$'
if [[ "$listen" =~ $IPV6_ADDRESS_PORT || "$listen" =~ $ADDRESS_PORT ]]; then
  listen_host=${BASH_REMATCH[1]} listen_port=${BASH_REMATCH[2]}
else
  refuse "--listen wants ADDR:PORT or [IPv6]:PORT, not '$listen'"
fi
# At most five digits after leading zeros, so that the number cannot wrap
# in the shell's 64-bit arithmetic before it is compared.
[[ "$listen_port" =~ ^0*([0-9]{1,5})$ && $((10#${BASH_REMATCH[1]})) -le 65535 ]] ||
  refuse "--listen: no port $listen_port"
listen_port=$((10#${BASH_REMATCH[1]}))
if [[ -n "$settings" ]]; then
  [[ -f "$settings" && -r "$settings" ]] || refuse "no readable settings file $settings"
  settings=$(realpath "$settings")
fi
if [[ -n "$tls_cert" ]]; then
  [[ -f "$tls_cert" && -r "$tls_cert" ]] || refuse "no readable PEM file $tls_cert"
  if ! grep -q -- '-----BEGIN CERTIFICATE-----' "$tls_cert" ||
     ! grep -q -- '-----BEGIN .*PRIVATE KEY-----' "$tls_cert"; then
    refuse "$tls_cert must hold the certificate and its private key"
  fi
  tls_cert=$(realpath "$tls_cert")
fi

# --- set-up ----------------------------------------------------------------

command -v python3 >/dev/null || scripts/install-deps.sh python3 >&2
scripts/install-deps.sh haproxy >&2
if [[ -n "${PENDRAKEL_HOST_BINARY:-}" && -n "${PENDRAKEL_MODULE:-}" ]]; then
  host_binary=$PENDRAKEL_HOST_BINARY module=$PENDRAKEL_MODULE
else
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPENDRAKEL_BUILD_TESTS=OFF >&2
  ninja -C build-release pendrakel pendrakel-host >&2
  host_binary=build-release/server/pendrakel-host module=build-release/extension/pendrakel.so
fi

WORK=$(mktemp -d /tmp/pendrakel-cluster.XXXXXX)
readonly WORK
started=()    # every process started, in order
watched=()    # those still running
haproxy_pid=""

# stop PID...: SIGTERM to each, a bounded wait for all, then SIGKILL.
stop() {
  local pid
  for pid in "$@"; do kill -TERM "$pid" 2>/dev/null || true; done
  for ((i = 0; i < STOP_TIMEOUT_TENTHS; i++)); do
    local running=0
    for pid in "$@"; do kill -0 "$pid" 2>/dev/null && running=1; done
    [[ $running -eq 1 ]] || break
    sleep 0.1
  done
  for pid in "$@"; do
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}

cleanup() {
  trap - EXIT INT TERM
  [[ -z "$haproxy_pid" ]] || stop "$haproxy_pid"  # first: no new requests
  [[ ${#started[@]} -eq 0 ]] || stop "${started[@]}"
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

# --- what the settings mean for the balancer, and where it listens --------

# Reads the settings with the module's own loader (pendrakel-host --check on
# a copy of the module beside them), so that the balancer follows exactly
# what the instances will do. Prints the cookie name when the settings hand
# out cookies (an empty line otherwise), then the length of PathBase in
# bytes; refuses, in one line, what the module or the balancer cannot take.
read_settings() {
  local dir="$WORK/check" report problem
  mkdir -p "$dir"
  cp "$module" "$dir/pendrakel.so"
  [[ -z "$settings" ]] || cp "$settings" "$dir/Pendrakel.setting"
  if ! report=$("$host_binary" --module "$dir/pendrakel.so" --check 2>"$dir/check.log"); then
    problem=$(head -n 1 "$dir/check.log")
    refuse "${problem//"$dir/Pendrakel.setting"/$settings}"
  fi
  python3 -c '
import re, sys

def value(label):  # the text of a line `  LABEL: "..."`, its escapes undone
    found = re.search(r"^  %s: \"(.*)\"$" % re.escape(label), report, re.M)
    if not found:
        sys.exit(f"cluster.sh: pendrakel-host --check gave no {label}")
    escaped = found.group(1).encode("latin-1", "backslashreplace")
    return escaped.decode("unicode_escape").encode("latin-1")

report, path = sys.stdin.read(), sys.argv[1]
distribute = re.search(r"^  Cookie Distribute: true$", report, re.M) is not None
name = value("Cookie Name").decode("latin-1")
if distribute and not name:
    sys.exit(f"cluster.sh: {path} hands out cookies without a Name; the "
             "balancer keeps clients by cookie name: add Name=\"pk\" to <Cookie>")
if distribute and not re.fullmatch(r"[!#$%&\x27*+.^_`|~0-9A-Za-z-]+", name):
    sys.exit(f"cluster.sh: {path}: cookie Name {name!r} is not a token")
print(name if distribute else "")
print(len(value("PathBase")))
' "$settings" <<<"$report"
}

# bindable_port HOST PORT: PORT, or a free one for 0, once a socket could be
# bound there (so that what answers there later is HAProxy).
bindable_port() {
  python3 -c 'import socket, sys
host, port = sys.argv[1], int(sys.argv[2])
s = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
try:
    s.bind((host, port))
except OSError as error:
    sys.exit(f"cluster.sh: cannot listen on {host} port {port}: {error.strerror}")
print(s.getsockname()[1])' "$1" "$2"
}

{ read -r cookie_name && read -r path_base_length; } < <(read_settings) || exit 2
listen_port=$(bindable_port "$listen_host" "$listen_port") || exit 2

# tied COMMAND...: runs COMMAND so that it is sent SIGTERM when this script
# ends, however it ends (a SIGKILL too): nothing it started outlives it.
tied() {
  exec setpriv --pdeathsig TERM -- "$@"
}

# wait_for_line FILE PATTERN PID NAME: until FILE holds PATTERN, bounded.
wait_for_line() {
  local file=$1 pattern=$2 pid=$3 name=$4
  for ((i = 0; i < START_TIMEOUT_TENTHS; i++)); do
    grep -q "$pattern" "$file" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || fail "$name ended: $(tail -n 3 "$file")"
    sleep 0.1
  done
  fail "no \"$pattern\" from $name after $((START_TIMEOUT_TENTHS / 10)) s"
}

# start_instance K: a host in its own folder with a copy of the module and
# the settings, on free loopback ports. Sets the instance_* entries of K.
declare -A instance_pid instance_address instance_admin
start_instance() {
  local k=$1 dir="$WORK/instance-$1"
  mkdir -p "$dir"
  cp "$module" "$dir/pendrakel.so"
  [[ -z "$settings" ]] || cp "$settings" "$dir/Pendrakel.setting"
  tied "$host_binary" --module "$dir/pendrakel.so" --listen 127.0.0.1:0 \
    --admin-listen 127.0.0.1:0 >"$dir/host.log" 2>&1 &
  local pid=$!
  started+=("$pid") watched+=("$pid")
  wait_for_line "$dir/host.log" '^admin listening on ' "$pid" "instance $k"
  instance_pid[$k]=$pid
  instance_address[$k]=$(sed -n 's/^listening on //p' "$dir/host.log")
  instance_admin[$k]=$(sed -n 's/^admin listening on //p' "$dir/host.log")
  curl -sf --max-time 5 "http://${instance_admin[$k]}/healthz" >/dev/null ||
    fail "instance $k is not healthy: $(tail -n 3 "$dir/host.log")"
}

# server_lines: HAProxy's server line of every instance; the cookie id of
# instance K is iK, the prefix its clients' cookies carry.
server_lines() {
  local k admin
  for ((k = 1; k <= instances; k++)); do
    admin=${instance_admin[$k]}
    echo "    server instance$k ${instance_address[$k]} cookie i$k addr ${admin%:*} port ${admin##*:}"
  done
}

start_haproxy() {
  local bind="$listen_host:$listen_port"
  [[ "$listen_host" == *:* ]] && bind="[$listen_host]:$listen_port"
  local servers
  servers=$(server_lines)
  awk -v servers="$servers" '/^ *# @SERVERS@/ { print servers; next } { print }' \
    "$TEMPLATE" >"$WORK/haproxy.cfg"
  PENDRAKEL_LISTEN=$bind PENDRAKEL_TLS_CERT=$tls_cert \
    PENDRAKEL_COOKIE_NAME=$cookie_name PENDRAKEL_PATH_BASE_LENGTH=$path_base_length \
    tied haproxy -db -f "$WORK/haproxy.cfg" >"$WORK/haproxy.log" 2>&1 &
  haproxy_pid=$!
  watched+=("$haproxy_pid")
  # A listening socket accepts; a wildcard address is reached on loopback.
  local probe=$listen_host
  case "$probe" in 0.0.0.0) probe=127.0.0.1 ;; ::) probe=::1 ;; esac
  for ((i = 0; i < START_TIMEOUT_TENTHS; i++)); do
    if (exec 3<>"/dev/tcp/$probe/$listen_port") 2>/dev/null; then
      cluster_address=$bind
      return 0
    fi
    kill -0 "$haproxy_pid" 2>/dev/null ||
      fail "HAProxy ended: $(grep -v NOTICE "$WORK/haproxy.log" | tail -n 3)"
    sleep 0.1
  done
  fail "HAProxy does not listen on $bind after $((START_TIMEOUT_TENTHS / 10)) s"
}

# --- run -------------------------------------------------------------------

for ((k = 1; k <= instances; k++)); do
  start_instance "$k"
  echo "instance $k pid ${instance_pid[$k]} listening on ${instance_address[$k]} admin ${instance_admin[$k]}"
done
start_haproxy
echo "cluster listening on $cluster_address"

# Until a signal (the trap exits) or HAProxy ends.
while [[ ${#watched[@]} -gt 0 ]]; do
  ended="" status=0
  wait -n -p ended "${watched[@]}" || status=$?
  [[ -n "$ended" ]] || continue
  if [[ "$ended" == "$haproxy_pid" ]]; then
    haproxy_pid=""
    echo "cluster.sh: HAProxy ended with status $status:" \
      "$(grep -v NOTICE "$WORK/haproxy.log" | tail -n 3)" >&2
    exit 1
  fi
  for ((k = 1; k <= instances; k++)); do
    [[ "${instance_pid[$k]}" == "$ended" ]] &&
      echo "cluster.sh: instance $k pid $ended ended with status $status" >&2
  done
  kept=()
  for pid in "${watched[@]}"; do [[ "$pid" == "$ended" ]] || kept+=("$pid"); done
  watched=("${kept[@]+"${kept[@]}"}")
done
