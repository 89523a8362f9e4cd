#!/usr/bin/env bash
# A cluster on this machine: N pendrakel-host instances on free loopback
# ports, each with its admin listener, and HAProxy in front of them, set up
# from deploy/haproxy/pendrakel.cfg as a real deployment would be.
#
#   scripts/cluster.sh --instances N --listen ADDR:PORT [--settings FILE]
#                      [--tls-cert PEM] [--persist FOLDER]
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
#   --persist FOLDER  each instance K keeps its store in FOLDER/instance-K
#                     (made when missing): its settings get a Persist element
#                     naming it, with the Sync of the settings' own Persist
#                     element if they have one
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
# SIGHUP restarts the instances one at a time (a rolling restart, to take a
# new build or new settings): each is stopped with SIGTERM, started again on
# its ports and waited for until healthy before the next; meanwhile HAProxy
# keeps it in and holds its requests, retrying them there (its health
# checks are paused for it), so its clients keep their instance. With
# --persist nothing acknowledged is lost. The script prints the same
# "instance K pid PID ..." line for each restarted instance, then
#   cluster restarted
# An instance that does not come back is reported on standard error, put
# back under HAProxy's health checks, and the roll stops there.
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

instances="" listen="" settings="" tls_cert="" persist=""
while [[ $# -gt 0 ]]; do
  [[ $# -ge 2 ]] || refuse "$1 needs a value (see the head of $0)"
  case "$1" in
    --instances) instances=$2 ;;
    --listen) listen=$2 ;;
    --settings) settings=$2 ;;
    --tls-cert) tls_cert=$2 ;;
    --persist) persist=$2 ;;
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
if [[ -n "$persist" ]]; then
  [[ -d "$persist" && -w "$persist" ]] || refuse "--persist: no writable folder $persist"
  persist=$(realpath "$persist")
  # What the instances' Persist elements can name.
  [[ ${#persist} -le 240 ]] || refuse "--persist: $persist is too long for the instances' folders"
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
roll_wanted=0
trap 'roll_wanted=1' HUP  # rolled once the cluster runs

# --- what the settings mean for the balancer, and where it listens --------

# write_settings K FILE: the settings of instance K: the given ones (none:
# the defaults), with --persist a Persist element first in them naming the
# instance's own folder (the first element of a name is the one taken).
write_settings() {
  local k=$1 file=$2
  if [[ -z "$persist" ]]; then
    [[ -z "$settings" ]] || cp "$settings" "$file"
    return 0
  fi
  mkdir -p "$persist/instance-$k"
  python3 -c '
import sys, xml.dom.minidom
source, folder, out = sys.argv[1:4]
document = (xml.dom.minidom.parse(source) if source else
            xml.dom.minidom.parseString("<Settings/>"))
root = document.documentElement
own = [n for n in root.childNodes
       if n.nodeType == n.ELEMENT_NODE and n.tagName == "Persist"]
element = document.createElement("Persist")
element.setAttribute("Folder", folder)
if own and own[0].hasAttribute("Sync"):
    element.setAttribute("Sync", own[0].getAttribute("Sync"))
root.insertBefore(element, root.firstChild)
with open(out, "w") as f:
    f.write(document.toxml())
' "$settings" "$persist/instance-$k" "$file" ||
    refuse "--persist: cannot add a Persist element to ${settings:-the settings}"
}

# Reads the settings with the module's own loader (pendrakel-host --check on
# a copy of the module beside them), so that the balancer follows exactly
# what the instances will do. Prints the cookie name when the settings hand
# out cookies (an empty line otherwise), then the length of PathBase in
# bytes; refuses, in one line, what the module or the balancer cannot take.
read_settings() {
  local dir="$WORK/check" report problem
  mkdir -p "$dir"
  cp "$module" "$dir/pendrakel.so"
  write_settings 1 "$dir/Pendrakel.setting"
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

# wait_for_line FILE PATTERN PID NAME: until FILE holds PATTERN, bounded;
# else returns 1 with `why` set.
wait_for_line() {
  local file=$1 pattern=$2 pid=$3 name=$4
  for ((i = 0; i < START_TIMEOUT_TENTHS; i++)); do
    grep -q "$pattern" "$file" 2>/dev/null && return 0
    if ! kill -0 "$pid" 2>/dev/null; then
      why="$name ended: $(tail -n 3 "$file")"
      return 1
    fi
    sleep 0.1
  done
  why="no \"$pattern\" from $name after $((START_TIMEOUT_TENTHS / 10)) s"
  return 1
}

# unwatch PID: forgets a process that was stopped and reaped.
unwatch() {
  local pid kept=()
  for pid in "${watched[@]}"; do [[ "$pid" == "$1" ]] || kept+=("$pid"); done
  watched=("${kept[@]+"${kept[@]}"}")
  kept=()
  for pid in "${started[@]}"; do [[ "$pid" == "$1" ]] || kept+=("$pid"); done
  started=("${kept[@]+"${kept[@]}"}")
}

# start_instance K [LISTEN ADMIN]: a host in its own folder with a copy of
# the module and its settings, on free loopback ports or on the ones given.
# Sets the instance_* entries of K; returns 1 with `why` set when it does
# not come up healthy.
declare -A instance_pid instance_address instance_admin
start_instance() {
  local k=$1 dir="$WORK/instance-$1"
  mkdir -p "$dir"
  cp "$module" "$dir/pendrakel.so"
  write_settings "$k" "$dir/Pendrakel.setting"
  # Emptied here, not by the started job's redirection, which may come after
  # the wait below has read a restarted instance's old lines.
  : >"$dir/host.log"
  tied "$host_binary" --module "$dir/pendrakel.so" --listen "${2:-127.0.0.1:0}" \
    --admin-listen "${3:-127.0.0.1:0}" >"$dir/host.log" 2>&1 &
  local pid=$!
  started+=("$pid") watched+=("$pid")
  instance_pid[$k]=$pid
  wait_for_line "$dir/host.log" '^admin listening on ' "$pid" "instance $k" ||
    return 1
  instance_address[$k]=$(sed -n 's/^listening on //p' "$dir/host.log")
  instance_admin[$k]=$(sed -n 's/^admin listening on //p' "$dir/host.log")
  curl -sf --max-time 5 "http://${instance_admin[$k]}/healthz" >/dev/null &&
    return 0
  why="instance $k is not healthy: $(tail -n 3 "$dir/host.log")"
  return 1
}

instance_line() {
  echo "instance $1 pid ${instance_pid[$1]} listening on ${instance_address[$1]} admin ${instance_admin[$1]}"
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
    PENDRAKEL_HAPROXY_SOCKET=$WORK/haproxy.sock \
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

# --- the rolling restart ---------------------------------------------------

# haproxy_says COMMAND: one command on HAProxy's runtime socket; returns 1
# when HAProxy answers anything (it answers an accepted command with
# nothing).
haproxy_says() {
  local answer
  answer=$(python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.sendall(sys.argv[2].encode() + b"\n")
print(b"".join(iter(lambda: s.recv(4096), b"")).decode().strip())' \
    "$WORK/haproxy.sock" "$1" 2>&1) || true
  [[ -z "$answer" ]] && return 0
  echo "cluster.sh: HAProxy answered \"$1\" with: $answer" >&2
  return 1
}

# restart_instance K: stops instance K and starts it again on its ports,
# with HAProxy's health checks of it paused meanwhile, so that HAProxy keeps
# it in and retries its requests there; returns 1 with `why` set when it
# does not come back healthy.
restart_instance() {
  local k=$1 old=${instance_pid[$k]}
  haproxy_says "disable health instances/instance$k" || true
  unwatch "$old"
  stop "$old"
  if ! start_instance "$k" "${instance_address[$k]}" "${instance_admin[$k]}"; then
    haproxy_says "enable health instances/instance$k" || true
    return 1
  fi
  haproxy_says "enable health instances/instance$k" || true
}

roll() {
  local k
  for ((k = 1; k <= instances; k++)); do
    if ! restart_instance "$k"; then
      echo "cluster.sh: instance $k did not come back, the restart stops here: $why" >&2
      return 0
    fi
    instance_line "$k"
  done
  echo "cluster restarted"
}

# --- run -------------------------------------------------------------------

for ((k = 1; k <= instances; k++)); do
  start_instance "$k" || fail "$why"
  instance_line "$k"
done
start_haproxy
echo "cluster listening on $cluster_address"

# Until a signal (the trap exits) or HAProxy ends; SIGHUP rolls.
while [[ ${#watched[@]} -gt 0 ]]; do
  if [[ $roll_wanted -eq 1 ]]; then
    roll_wanted=0
    roll
    continue
  fi
  ended="" status=0
  wait -n -p ended "${watched[@]}" || status=$?
  [[ -n "${ended:-}" ]] || continue  # a trapped signal (SIGHUP) woke it
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
