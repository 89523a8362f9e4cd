#!/usr/bin/env bash
# The benchmark: pendrakel-host against the nginx reference over HTTP, like
# for like (the host with as many I/O threads as nginx has workers, 1 and
# 2), beside the floor of this machine (a server that only answers a fixed
# text); the resident memory per stored value against memcached and Redis;
# all measured in one run on this machine, then the micro-benchmarks.
#
#   scripts/bench.sh           full run: each figure the median of 3
#                              alternating runs of 10 s after a warm-up
#                              (about 32 minutes)
#   scripts/bench.sh --quick   1 run of 2 s per figure and 100 000 values for
#                              the memory figure (about 5 minutes)
#   --runs=N                   N runs per figure instead (after --quick: of 2 s)
#   --threads=N                only the pairing of N against N (1 or 2)
#   --tls-only                 only the TLS rows (T1 to T4), then their table
#
# Installs what is missing (wrk, nginx-light, redis-server, memcached, perf),
# builds a Release build in build-bench/, prints the tables and writes them
# under results/: bench-<time>.csv (throughput and latency),
# memory-<time>.csv, micro-<time>.json and the whole output, bench-<time>.log.
# Every server it starts listens on a free loopback port, lives in its own
# temp folder and is stopped by its process id on the way out.
set -euo pipefail
cd "$(dirname "$0")/.."
readonly ROOT="$PWD"

# wrk settings, the same for ours and the reference.
readonly WRK_THREADS=1
readonly CONNECTIONS=64
readonly WRK_TIMEOUT_SECONDS=10
# What the scenarios read and write (as bench/wrk_common.lua): 16-byte names,
# 100-byte values.
readonly NAMES=100000
readonly COOKIES=10000
readonly NAMES_PER_COOKIE=10
# Kept-alive connections held open and idle in the idle scenario.
readonly IDLE_CONNECTIONS=5000
# Connections the host and nginx accept: the idle ones, wrk's, and spare.
readonly MAX_CONNECTIONS=8192
# Idle time-out for both servers: longer than any run, so that the idle
# connections stay open.
readonly IDLE_TIMEOUT_SECONDS=3600
# Our p99 latency, CPU per request and system calls per request may be at
# most this many times the reference's.
readonly P99_LIMIT=1.0
readonly CPU_LIMIT=1.0
readonly SYSCALL_LIMIT=1.0
# Clients that ask for a value of this many MiB and never read it, in the
# stalled readers' figure.
readonly STALLED_READERS=100
readonly STALLED_VALUE_MIB=16
# I/O threads of the hosts of the access-log and slow-client figures (the
# throughput rows run both pairings).
readonly HOST_THREADS=1
# The system calls counted per request: the total, and these by name.
readonly COUNTED_CALLS="recvfrom recvmsg read sendto sendmsg writev write sendfile64 epoll_wait epoll_ctl io_uring_enter accept4 close shutdown setsockopt getsockname getpeername ioctl futex openat newfstatat"
# Memory the memcached reference may use, in MiB (far above what it needs).
readonly MEMCACHED_MIB=2048
# Bounded waits for a server to come up.
readonly START_TIMEOUT_TENTHS=100
CLOCK_TICKS=$(getconf CLK_TCK)
readonly CLOCK_TICKS

runs=3
pairings=(1 2)
tls_only=0
seconds=10
warmup_seconds=3
memory_values=1000000
memory_cookies=10000
micro_min_seconds=0.5
for arg in "$@"; do
  case "$arg" in
    --quick)
      runs=1 seconds=2 warmup_seconds=1
      memory_values=100000 memory_cookies=1000 micro_min_seconds=0.05 ;;
    --runs=*)
      runs=${arg#--runs=}
      [[ "$runs" =~ ^[1-9][0-9]?$ ]] || { echo "bench.sh: --runs wants 1 to 99" >&2; exit 2; } ;;
    --tls-only)
      tls_only=1 pairings=() ;;
    --threads=*)
      pairings=("${arg#--threads=}")
      [[ "${pairings[0]}" =~ ^[12]$ ]] || { echo "bench.sh: --threads wants 1 or 2" >&2; exit 2; } ;;
    -h|--help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench.sh: unknown option $arg (see --help)" >&2; exit 2 ;;
  esac
done

fail() {
  echo "bench.sh: $*" >&2
  exit 1
}

# --- set-up ---------------------------------------------------------------

scripts/install-deps.sh wrk nginx-light redis-server memcached linux-perf
command -v python3 >/dev/null || scripts/install-deps.sh python3

readonly BUILD=build-bench
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPENDRAKEL_BUILD_BENCH=ON -DPENDRAKEL_BUILD_TESTS=OFF >/dev/null
ninja -C "$BUILD" pendrakel pendrakel-host pendrakel_bench floor_server \
  pendrakel_journal_maker

# The idle holder, the host and nginx each need a descriptor per connection.
readonly DESCRIPTORS_NEEDED=$((MAX_CONNECTIONS + 1024))
hard_limit=$(ulimit -Hn)
if [[ "$hard_limit" != unlimited && "$hard_limit" -lt $DESCRIPTORS_NEEDED ]]; then
  fail "the descriptor limit ($hard_limit) is below $DESCRIPTORS_NEEDED"
fi
ulimit -n "$DESCRIPTORS_NEEDED"

mkdir -p results
readonly STAMP=$(date +%Y%m%d-%H%M%S)
readonly LOG="results/bench-$STAMP.log"
readonly CSV="results/bench-$STAMP.csv"
readonly MEMORY_CSV="results/memory-$STAMP.csv"
readonly MICRO_JSON="results/micro-$STAMP.json"
exec > >(tee "$LOG") 2>&1

WORK=$(mktemp -d /tmp/pendrakel-bench.XXXXXX)
readonly WORK
started=()

# The TLS rows' certificate, for the host and nginx alike: ECDSA P-256.
readonly TLS_CERT="$WORK/tls.crt" TLS_KEY="$WORK/tls.key"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout "$TLS_KEY" -out "$TLS_CERT" -days 2 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 2>/dev/null

stop_pid() {
  local pid=$1
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  local kept=()
  for other in "${started[@]}"; do
    [[ "$other" == "$pid" ]] || kept+=("$other")
  done
  started=("${kept[@]+"${kept[@]}"}")
}

cleanup() {
  for pid in "${started[@]+"${started[@]}"}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# wait_for_line FILE PATTERN PID: until FILE holds PATTERN, bounded.
wait_for_line() {
  local file=$1 pattern=$2 pid=$3
  for ((i = 0; i < START_TIMEOUT_TENTHS; i++)); do
    grep -q "$pattern" "$file" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || fail "process $pid ended: $(tail -n 3 "$file")"
    sleep 0.1
  done
  fail "no \"$pattern\" in $file after $((START_TIMEOUT_TENTHS / 10)) s"
}

# wait_for_port PORT PID: until something accepts on 127.0.0.1:PORT.
wait_for_port() {
  local port=$1 pid=$2
  for ((i = 0; i < START_TIMEOUT_TENTHS; i++)); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    kill -0 "$pid" 2>/dev/null || fail "process $pid ended before listening"
    sleep 0.1
  done
  fail "nothing listens on port $port after $((START_TIMEOUT_TENTHS / 10)) s"
}

# start_host NAME [FLAGS...]: a host in its own folder holding a copy of the
# module and its settings (collections without a cookie share one
# collection, and `host_settings` adds its elements), with FLAGS added to
# its command line, and its admin port. Sets host_pid, host_port and
# admin_port. Runs `host_threads` I/O threads.
host_threads=$HOST_THREADS
host_settings=""
start_host() {
  local dir="$WORK/$1"
  shift
  mkdir -p "$dir"
  cp "$BUILD/extension/pendrakel.so" "$dir/"
  printf '<Settings><Cookie Distribute="false"/>%s</Settings>\n' \
    "$host_settings" >"$dir/Pendrakel.setting"
  : >"$dir/host.log"  # not the job's redirection: the wait may come first
  "$BUILD/server/pendrakel-host" --module "$dir/pendrakel.so" \
    --listen 127.0.0.1:0 --max-connections "$MAX_CONNECTIONS" \
    --threads "$host_threads" \
    --idle-timeout "$IDLE_TIMEOUT_SECONDS" --admin-listen 127.0.0.1:0 "$@" \
    >"$dir/host.log" 2>&1 &
  host_pid=$!
  started+=("$host_pid")
  wait_for_line "$dir/host.log" '^admin listening on ' "$host_pid"
  host_port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$dir/host.log")
  tls_port=$(sed -n 's/^tls listening on .*:\([0-9]*\)$/\1/p' "$dir/host.log")
  admin_port=$(sed -n 's/^admin listening on .*:\([0-9]*\)$/\1/p' "$dir/host.log")
}

# start_nginx WORKERS: the reference from bench/nginx.conf.in with WORKERS
# worker processes. Sets nginx_pid and nginx_port.
start_nginx() {
  local workers=$1
  local dir="$WORK/nginx-$workers"
  mkdir -p "$dir"
  nginx_port=$(free_port)
  nginx_tls_port=$(free_port)
  cp "$TLS_CERT" "$dir/tls.crt"
  cp "$TLS_KEY" "$dir/tls.key"
  mkdir -p "$dir/files"
  head -c $((10 * 1024)) /dev/zero | tr '\0' 'v' >"$dir/files/big10k"
  head -c $((1024 * 1024)) /dev/zero | tr '\0' 'v' >"$dir/files/big1m"
  head -c $((STALLED_VALUE_MIB << 20)) /dev/zero | tr '\0' 'v' \
    >"$dir/files/big${STALLED_VALUE_MIB}m"
  # nginx's workers run as an unprivileged user: let them reach the files.
  chmod o+x "$WORK" "$dir"
  chmod -R o+rX "$dir/files"
  sed -e "s|@PORT@|$nginx_port|" -e "s|@TLS_PORT@|$nginx_tls_port|" \
    -e "s|@PREFIX@|$dir|g" \
    -e "s|@WORKERS@|$workers|" bench/nginx.conf.in \
    >"$dir/nginx.conf"
  nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" \
    >"$dir/out.log" 2>&1 &
  nginx_pid=$!
  started+=("$nginx_pid")
  wait_for_port "$nginx_port" "$nginx_pid"
}

# --- throughput -----------------------------------------------------------

# cpu_ticks PID...: user plus system time so far of the processes, in ticks.
cpu_ticks() {
  local pid
  for pid in "$@"; do
    # Fields after "pid (comm) ": utime and stime are the 12th and 13th.
    sed 's/^.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }'
  done | awk '{ s += $1 } END { print s + 0 }'
}

# The share of this machine's CPU time its hypervisor took (steal) since
# steal_mark, in %, added to $WORK/steal-$steal_tag when a table's measured
# runs set steal_tag (its pairing: "1", "2", "tls"). On a virtual machine
# that shares its host this swings a run's throughput more than anything
# the servers do, so each table says how much was taken.
steal_tag=""
steal_mark() { awk '/^cpu / { print $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9 }' /proc/stat; }
steal_since() {
  [[ -n "$steal_tag" ]] || return 0
  awk -v before="$1" '/^cpu / {
      split(before, b, " "); total = $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9 - b[2]
      printf "%.1f\n", (total > 0 ? 100 * ($9 - b[1]) / total : 0) }' /proc/stat \
    >>"$WORK/steal-$steal_tag"
}

# syscall_events: perf's events for the counted system calls.
syscall_events() {
  local events="raw_syscalls:sys_enter" call
  for call in $COUNTED_CALLS; do events+=",syscalls:sys_enter_$call"; done
  echo "$events"
}
SYSCALL_EVENTS=$(syscall_events)
readonly SYSCALL_EVENTS

# run_wrk SCRIPT URL SECONDS PID...: prints "req/s p50_us p99_us errors
# cpu_us_per_request syscalls_per_request calls", the CPU time and the
# system calls (counted by perf on every thread) being those of the given
# server processes during the run; calls names the ones above 0.005 per
# request, "recvfrom:1.00,writev:1.00,...".
run_wrk() {
  local script=$1 url=$2 duration=$3
  shift 3
  local out before after perf_pid
  local perf_out="$WORK/perf-$$.txt"
  rm -f "$perf_out"
  perf stat -x, -e "$SYSCALL_EVENTS" -p "$(IFS=,; echo "$*")" -o "$perf_out" \
    2>/dev/null &
  perf_pid=$!
  sleep 0.2  # perf attaches
  before=$(cpu_ticks "$@")
  local stolen
  stolen=$(steal_mark)
  out=$(wrk -t"$WRK_THREADS" -c"$CONNECTIONS" -d"${duration}s" \
    --timeout "${WRK_TIMEOUT_SECONDS}s" -s "$ROOT/bench/$script.lua" "$url")
  steal_since "$stolen"
  after=$(cpu_ticks "$@")
  kill -INT "$perf_pid" 2>/dev/null || true
  wait "$perf_pid" 2>/dev/null || true
  { grep '^RESULT ' <<<"$out" | tr ' ' '\n'; sed -n 's/^ *\([0-9][0-9]*\),,\([a-z0-9_:]*\),.*/SYSCALL \2 \1/p' "$perf_out" 2>/dev/null; } |
    awk -F= -v ticks=$((after - before)) -v hz="$CLOCK_TICKS" '
    /^SYSCALL / { split($0, f, " "); name = f[2]; sub(/^.*sys_enter_?/, "", name);
                  calls[name == "" ? "all" : name] = f[3]; next }
    { v[$1] = $2 }
    END {
      n = v["requests"] > 0 ? v["requests"] : 1
      errors = v["connect_errors"] + v["read_errors"] + v["write_errors"]
      errors += v["status_errors"] + v["timeouts"]
      list = ""
      for (c in calls) if (c != "all" && calls[c] / n >= 0.005)
        list = list (list == "" ? "" : ",") sprintf("%s:%.2f", c, calls[c] / n)
      printf "%.0f %d %d %d %.2f %s %s\n", v["requests"] / (v["duration_us"] / 1e6),
             v["p50_us"], v["p99_us"], errors, ticks * 1e6 / hz / n,
             ("all" in calls) ? sprintf("%.2f", calls["all"] / n) : "-",
             list == "" ? "-" : list
    }'
}

median() {
  printf '%s\n' "$@" | sort -g | awk '
    { a[NR] = $1 }
    END { if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

# range VALUES...: "min-max" with two decimals.
range() {
  printf '%s\n' "$@" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.2f-%.2f", lo, hi }'
}

# The calls string of the run whose total is the median.
median_calls() {
  local total=$1
  shift
  local entry
  for entry in "$@"; do
    [[ "${entry%% *}" == "$total" ]] && { echo "${entry#* }"; return; }
  done
  echo "${1#* }"
}

# start_idle_holders: IDLE_CONNECTIONS idle keep-alive connections on each
# server. Sets holder_pids.
start_idle_holders() {
  holder_pids=()
  local port
  for port in "$ours_port" "$nginx_port"; do
    python3 bench/idle_holder.py --port "$port" --count "$IDLE_CONNECTIONS" \
      >"$WORK/holder-$port.log" 2>&1 &
    holder_pids+=($!)
    started+=($!)
    wait_for_line "$WORK/holder-$port.log" '^holding ' "$!"
  done
}

stop_idle_holders() {
  local pid
  for pid in "${holder_pids[@]}"; do stop_pid "$pid"; done
  local closed
  closed=$(cat "$WORK"/holder-*.log | sed -n 's/^closed_by_server=//p' |
    awk '{ s += $1 } END { print s + 0 }')
  rm -f "$WORK"/holder-*.log
  if [[ "$closed" -ne 0 ]]; then
    echo "WARNING: the servers closed $closed of the idle connections"
  fi
}

# Scenario rows: number|title|wrk script|throughput target (ratio).
readonly SCENARIOS=(
  "1|GET, method form|get|1.0"
  "2|PUT (replace), method form|put|1.0"
  "3|POST /get, command form|post_get|1.0"
  "4|90 % GET / 10 % PUT|mixed|1.0"
  "5|GET, 10 000 cookies|cookie|1.0"
  "6|GET + 5 000 idle connections|get|1.0"
  "7|STAT|stat|1.0"
  "8|GET, Connection: close each|close|1.0"
  "9|GET of a 10 KiB value|big10k|1.0"
  "10|GET of a 1 MiB value|big1m|1.0"
)
# The floor rows: the floor server in place of the host, GET (any answer
# does: it sends its fixed text), so the ratio shows the room above nginx.
readonly FLOOR_ROWS=(
  "F1|floor, io_uring (fixed answer)|get|-|uring"
  "F2|floor, epoll (fixed answer)|get|-|epoll"
)

rows=()
any_errors=0
# What run_scenario's URLs speak, and the reference's port for them.
scheme=http

# run_scenario PAIRING ROW: warm-up, then `runs` alternating runs of ours
# (ours_pid, ours_port) and the reference; appends the medians to rows. The
# ratio is the median of the ratios of neighbouring runs, which share
# whatever else the machine does; their range is kept beside it.
run_scenario() {
  local pairing=$1 number title script target
  IFS='|' read -r number title script target _ <<<"$2"
  [[ "$number" == 6 ]] && start_idle_holders
  local ours_url="$scheme://127.0.0.1:$ours_port/"
  local ref_url="$scheme://127.0.0.1:$ref_port/"
  local workers
  mapfile -t workers < <(ps -o pid= --ppid "$nginx_pid" | tr -d ' ')
  run_wrk "$script" "$ours_url" "$warmup_seconds" "$ours_pid" >/dev/null
  run_wrk "$script" "$ref_url" "$warmup_seconds" "${workers[@]}" >/dev/null
  local steal_tag=$pairing  # the measured runs, not the warm-up
  local ours_rps=() ours_p50=() ours_p99=() ours_cpu=() ours_sys=() ours_calls=()
  local ref_rps=() ref_p99=() ref_cpu=() ref_sys=() ref_calls=() ratios=() errors=0
  local rps p50 p99 err cpu sys calls
  for ((run = 1; run <= runs; run++)); do
    read -r rps p50 p99 err cpu sys calls < <(run_wrk "$script" "$ours_url" "$seconds" "$ours_pid")
    [[ -n "$rps" ]] || fail "wrk gave no result for $script against ours"
    ours_rps+=("$rps") ours_p50+=("$p50") ours_p99+=("$p99") ours_cpu+=("$cpu")
    ours_sys+=("$sys") ours_calls+=("$sys $calls")
    errors=$((errors + err))
    echo "  $pairing:$pairing row $number run $run/$runs: ours      $rps req/s p50 $p50 us p99 $p99 us CPU $cpu us/req syscalls $sys ($calls) errors $err"
    local ours_now=$rps
    read -r rps p50 p99 err cpu sys calls < <(run_wrk "$script" "$ref_url" "$seconds" "${workers[@]}")
    [[ -n "$rps" ]] || fail "wrk gave no result for $script against nginx"
    ref_rps+=("$rps") ref_p99+=("$p99") ref_cpu+=("$cpu") ref_sys+=("$sys")
    ref_calls+=("$sys $calls")
    ratios+=("$(awk -v o="$ours_now" -v r="$rps" 'BEGIN { print o / r }')")
    errors=$((errors + err))
    echo "  $pairing:$pairing row $number run $run/$runs: reference $rps req/s p50 $p50 us p99 $p99 us CPU $cpu us/req syscalls $sys ($calls) errors $err"
  done
  [[ "$number" == 6 ]] && stop_idle_holders
  [[ "$errors" -ne 0 ]] && any_errors=1
  local sys_median ref_sys_median
  sys_median=$(median "${ours_sys[@]}")
  ref_sys_median=$(median "${ref_sys[@]}")
  rows+=("$pairing|$number|$title|$(median "${ours_rps[@]}")|$(median "${ref_rps[@]}")|$(median "${ratios[@]}")|$(range "${ratios[@]}")|$(median "${ours_p50[@]}")|$(median "${ours_p99[@]}")|$(median "${ref_p99[@]}")|$(median "${ours_cpu[@]}")|$(median "${ref_cpu[@]}")|$sys_median|$ref_sys_median|$(median_calls "$sys_median" "${ours_calls[@]}")|$(median_calls "$ref_sys_median" "${ref_calls[@]}")|$target|$errors")
}

# start_floor IO THREADS: the floor server. Sets ours_pid and ours_port.
start_floor() {
  local log="$WORK/floor-$1-$2.log"
  "$BUILD/bench/floor_server" --io="$1" --threads "$2" >"$log" 2>&1 &
  ours_pid=$!
  started+=("$ours_pid")
  wait_for_line "$log" '^listening on ' "$ours_pid"
  ours_port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$log")
}

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), kernel $(uname -r)"
echo "== load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== $runs run(s) of ${seconds} s per figure after ${warmup_seconds} s of warm-up; wrk -t$WRK_THREADS -c$CONNECTIONS"

for pairing in "${pairings[@]}"; do
  echo "== pairing $pairing:$pairing: the host with $pairing I/O thread(s), nginx with $pairing worker(s)"
  host_threads=$pairing
  start_host "throughput-$pairing"
  ours_pid=$host_pid ours_port=$host_port
  echo "   the host's event loop: $(curl -s "http://127.0.0.1:$admin_port/metrics" | sed -n 's/^pendrakel_io_threads{loop="\([a-z_]*\)"}.*/\1/p')"
  start_nginx "$pairing"
  ref_port=$nginx_port
  echo "== preloading $NAMES values, and $NAMES_PER_COOKIE values in each of $COOKIES cookies"
  python3 bench/load_values.py pendrakel --port "$host_port" --count "$NAMES"
  python3 bench/load_values.py pendrakel --port "$host_port" \
    --count $((COOKIES * NAMES_PER_COOKIE)) --cookies "$COOKIES"
  for big in big10k:10240 big1m:1048576; do
    head -c "${big#*:}" /dev/zero | tr '\0' 'v' |
      curl -sf -X PUT --data-binary @- "http://127.0.0.1:$host_port/${big%%:*}" >/dev/null ||
      fail "could not store /${big%%:*}"
  done
  for scenario in "${SCENARIOS[@]}"; do
    echo "== $pairing:$pairing scenario ${scenario%%|*}: $(cut -d'|' -f2 <<<"$scenario")"
    run_scenario "$pairing" "$scenario"
  done
  stop_pid "$host_pid"
  for floor in "${FLOOR_ROWS[@]}"; do
    echo "== $pairing:$pairing $(cut -d'|' -f2 <<<"$floor")"
    start_floor "$(cut -d'|' -f5 <<<"$floor")" "$pairing"
    run_scenario "$pairing" "$floor"
    stop_pid "$ours_pid"
  done
  stop_pid "$nginx_pid"
done
host_threads=$HOST_THREADS

# The table's CSV columns.
csv_header() {
  echo "pairing,scenario,ours_rps,reference_rps,ratio,ratio_range,ours_p50_us,ours_p99_us,reference_p99_us,ours_cpu_us_per_request,reference_cpu_us_per_request,ours_syscalls_per_request,reference_syscalls_per_request,ours_calls,reference_calls,target_ratio,target_met,errors" >"$CSV"
}

# met ROW-FIELDS: yes when the row reaches its target ratio with p99, CPU
# and system calls per request no worse than the reference's and no errors.
row_met() {
  awk -v ratio="$1" -v t="$2" -v p="$3" -v rp="$4" -v c="$5" -v rc="$6" \
    -v s="$7" -v rs="$8" -v e="$9" -v plim="$P99_LIMIT" -v clim="$CPU_LIMIT" \
    -v slim="$SYSCALL_LIMIT" 'BEGIN {
      ok = (t == "-" || ratio >= t) && p <= plim * rp && c <= clim * rc && e == 0
      if (s != "-" && rs != "-") ok = ok && s <= slim * rs
      print ok ? "yes" : "no"
    }'
}

print_pairing() {
  local pairing=$1 row
  printf '%-36s %8s %8s %5s %9s %6s %6s %6s %6s %6s %5s %5s %s\n' \
    "$pairing:$pairing (I/O threads:workers)" "ours/s" "nginx/s" ratio range \
    "p50ms" "p99ms" "refp99" "CPUus" "refCPU" sys "refsys" met
  for row in "${rows[@]}"; do
    IFS='|' read -r pair number title ours ref ratio spread p50 p99 ref_p99 cpu ref_cpu sys ref_sys calls ref_calls target errors <<<"$row"
    [[ "$pair" == "$pairing" ]] || continue
    local met
    met=$(row_met "$ratio" "$target" "$p99" "$ref_p99" "$cpu" "$ref_cpu" "$sys" "$ref_sys" "$errors")
    [[ "$target" == - ]] && met="(floor)"
    printf '%-36s %8.0f %8.0f %5.2f %9s %6.2f %6.2f %6.2f %6.1f %6.1f %5s %5s %s\n' \
      "$number. $title" "$ours" "$ref" "$ratio" "$spread" \
      "$(awk -v v="$p50" 'BEGIN { print v / 1000 }')" \
      "$(awk -v v="$p99" 'BEGIN { print v / 1000 }')" \
      "$(awk -v v="$ref_p99" 'BEGIN { print v / 1000 }')" "$cpu" "$ref_cpu" \
      "$sys" "$ref_sys" "$met"
    echo "$pair,\"$number. $title\",$ours,$ref,$(printf '%.3f' "$ratio"),$spread,$p50,$p99,$ref_p99,$cpu,$ref_cpu,$sys,$ref_sys,\"$calls\",\"$ref_calls\",$target,$met,$errors" >>"$CSV"
  done
  echo "  system calls per request by call (ours | nginx):"
  for row in "${rows[@]}"; do
    IFS='|' read -r pair number title _ _ _ _ _ _ _ _ _ _ _ calls ref_calls _ _ <<<"$row"
    [[ "$pair" == "$pairing" ]] || continue
    printf '    %-4s %s | %s\n' "$number." "${calls//,/ }" "${ref_calls//,/ }"
  done
  if [[ -s "$WORK/steal-$pairing" ]]; then
    sort -g "$WORK/steal-$pairing" | awk '
      { v[NR] = $1 }
      END {
        m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "  CPU time the hypervisor took (steal) during these runs: median %.1f %% (%.1f-%.1f %%)\n", m, v[1], v[NR]
      }'
  fi
}

# --- TLS ----------------------------------------------------------------------

# The host's TLS port against nginx's, 1 I/O thread against 1 worker, TLS
# 1.3 with the same ECDSA P-256 certificate: kept-alive GETs, a new
# connection per request (wrk resumes each connection's session on the
# next), a 1 MiB GET; and new
# connections with and without resumption timed by openssl s_time
# (WRK_THREADS clients at once), alternating run by run like the rest.
readonly TLS_ROWS=(
  "T1|GET over TLS 1.3, kept alive|get|1.0"
  "T2|GET over TLS 1.3, new connection each|close|1.0"
  "T4|GET of a 1 MiB value over TLS 1.3|big1m|1.0"
)

# s_time_run PORT MODE SECONDS PID...: "connections/s cpu_us_per_connection"
# of the given server processes, MODE -new (full handshakes) or -reuse.
# s_time stops at the first whole second past its time and prints whole
# seconds, so a run lasts from SECONDS to SECONDS + 1: the rate is taken
# over the time the run really took.
s_time_run() {
  local port=$1 mode=$2 duration=$3 i before after began ended
  shift 3
  before=$(cpu_ticks "$@")
  local stolen
  stolen=$(steal_mark)
  began=$(date +%s%N)
  for ((i = 0; i < WRK_THREADS; i++)); do
    openssl s_time -connect "127.0.0.1:$port" "$mode" -time "$duration" \
      -www /tls100 -tls1_3 >"$WORK/s_time-$i.txt" 2>&1 &
  done
  wait
  ended=$(date +%s%N)
  steal_since "$stolen"
  after=$(cpu_ticks "$@")
  cat "$WORK"/s_time-*.txt | sed -n 's/^\([0-9]*\) connections in [0-9.]* real seconds.*/\1/p' |
    awk -v ns=$((ended - began)) -v ticks=$((after - before)) -v hz="$CLOCK_TICKS" '
      { n += $1 } END { printf "%.0f %.1f\n", n * 1e9 / ns, (n > 0 ? ticks * 1e6 / hz / n : 0) }'
  rm -f "$WORK"/s_time-*.txt
}

tls_lines=()
if [[ $tls_only -eq 1 || " ${pairings[*]} " == *" 1 "* ]]; then
  echo "== TLS: the host's TLS port against nginx's, 1:1"
  host_threads=1
  start_host tls --tls-listen 127.0.0.1:0 --tls-cert "$TLS_CERT" --tls-key "$TLS_KEY"
  ours_pid=$host_pid ours_port=$tls_port
  start_nginx 1
  ref_port=$nginx_tls_port
  head -c 1048576 /dev/zero | tr '\0' 'v' |
    curl -sf -X PUT --data-binary @- "http://127.0.0.1:$host_port/big1m" >/dev/null ||
    fail "could not store /big1m"
  # s_time's request: a 100-byte value, as nginx's answer.
  head -c 100 /dev/zero | tr '\0' 'v' |
    curl -sf -X PUT --data-binary @- "http://127.0.0.1:$host_port/tls100" >/dev/null ||
    fail "could not store /tls100"
  python3 bench/load_values.py pendrakel --port "$host_port" --count "$NAMES"
  scheme=https
  for scenario in "${TLS_ROWS[@]}"; do
    echo "== tls scenario ${scenario%%|*}: $(cut -d'|' -f2 <<<"$scenario")"
    run_scenario tls "$scenario"
  done
  scheme=http
  mapfile -t tls_workers < <(ps -o pid= --ppid "$nginx_pid" | tr -d ' ')
  steal_tag=tls
  for mode in -new -reuse; do
    ours_cps=() ref_cps=() ours_cpc=() ref_cpc=() cps_ratios=()
    for ((run = 1; run <= runs; run++)); do
      read -r cps cpc < <(s_time_run "$tls_port" "$mode" "$seconds" "$host_pid")
      ours_cps+=("$cps") ours_cpc+=("$cpc")
      read -r rcps rcpc < <(s_time_run "$nginx_tls_port" "$mode" "$seconds" "${tls_workers[@]}")
      ref_cps+=("$rcps") ref_cpc+=("$rcpc")
      cps_ratios+=("$(awk -v o="$cps" -v r="$rcps" 'BEGIN { print (r > 0 ? o / r : 0) }')")
      echo "  tls s_time $mode run $run/$runs: ours $cps conn/s $cpc us/conn, nginx $rcps conn/s $rcpc us/conn"
    done
    tls_lines+=("$(printf 'T3 s_time %-7s ours %6s conn/s (%s us CPU/conn), nginx %6s conn/s (%s us CPU/conn), ratio %.2f (%s)' \
      "$mode" "$(median "${ours_cps[@]}")" "$(median "${ours_cpc[@]}")" \
      "$(median "${ref_cps[@]}")" "$(median "${ref_cpc[@]}")" \
      "$(median "${cps_ratios[@]}")" "$(range "${cps_ratios[@]}")")")
  done
  steal_tag=""
  stop_pid "$host_pid"
  stop_pid "$nginx_pid"
  host_threads=$HOST_THREADS
fi
if [[ $tls_only -eq 1 ]]; then
  echo
  csv_header
  print_pairing tls
  printf '%s\n' "${tls_lines[@]}"
  exit 0
fi

# --- the access log's cost ---------------------------------------------------

# Scenario 1 against a host that writes the access log to a file,
# alternating run by run with one that does not.
echo "== access log: GET against a host writing --access-log"
start_host plain
plain_pid=$host_pid plain_port=$host_port
python3 bench/load_values.py pendrakel --port "$host_port" --count "$NAMES"
start_host logging --access-log "$WORK/access.log"
python3 bench/load_values.py pendrakel --port "$host_port" --count "$NAMES"
log_ratios=() log_cpu_ratios=()
for ((run = 1; run <= runs; run++)); do
  read -r plain_rps _ _ _ plain_cpu < <(run_wrk get "http://127.0.0.1:$plain_port/" "$seconds" "$plain_pid")
  read -r logged_rps _ _ _ logged_cpu < <(run_wrk get "http://127.0.0.1:$host_port/" "$seconds" "$host_pid")
  echo "  access log run $run/$runs: without $plain_rps req/s $plain_cpu us/req, with $logged_rps req/s $logged_cpu us/req"
  log_ratios+=("$(awk -v l="$logged_rps" -v p="$plain_rps" 'BEGIN { print l / p }')")
  log_cpu_ratios+=("$(awk -v l="$logged_cpu" -v p="$plain_cpu" 'BEGIN { print l / p }')")
done
log_cost=$(awk -v r="$(median "${log_ratios[@]}")" 'BEGIN { printf "%.1f", (1 - r) * 100 }')
log_cpu_cost=$(awk -v r="$(median "${log_cpu_ratios[@]}")" 'BEGIN { printf "%.1f", (r - 1) * 100 }')
echo "  access log costs ${log_cost} % of GET throughput and ${log_cpu_cost} % more server CPU per request ($(wc -l <"$WORK/access.log") lines written)"
stop_pid "$host_pid"
stop_pid "$plain_pid"

# --- slow clients ---------------------------------------------------------

# 1 MiB uploads timed on a quiet host, then beside 1 000 connections that
# hold uploads open and trickle a byte a second.
echo "== slow clients: 1 MiB PUTs beside 1000 trickling uploaders"
start_host slow-clients
slow_clients_line=$(python3 bench/slow_uploaders.py --port "$host_port" --clients 1000)
echo "  $slow_clients_line"
stop_pid "$host_pid"

# Kernel memory of clients that stop reading a large value: ours, then nginx.
echo "== slow clients: $STALLED_READERS readers stalled on a $STALLED_VALUE_MIB MiB value"
start_host stalled-readers
stalled_ours=$(python3 bench/stalled_readers.py --port "$host_port" \
  --clients "$STALLED_READERS" --value-mib "$STALLED_VALUE_MIB" --store)
stop_pid "$host_pid"
start_nginx 1
stalled_ref=$(python3 bench/stalled_readers.py --port "$nginx_port" \
  --clients "$STALLED_READERS" --value-mib "$STALLED_VALUE_MIB")
stop_pid "$nginx_pid"
echo "  ours:      $stalled_ours"
echo "  reference: $stalled_ref"

# --- memory ---------------------------------------------------------------

memory_rows=()

# measure_memory LABEL PID LOADER-ARGS...: stores the values and records the
# growth of PID's resident memory per value.
measure_memory() {
  local label=$1 pid=$2
  shift 2
  local line
  line=$(python3 bench/load_values.py "$@" --pid "$pid")
  echo "  $label: $line"
  memory_rows+=("$label|$(sed -n 's/.*bytes_per_value=\([0-9.]*\).*/\1/p' <<<"$line")")
}

echo "== memory: $memory_values values of 100 bytes"
start_host memory-shared
measure_memory "pendrakel, one collection, 16-byte names" "$host_pid" \
  pendrakel --port "$host_port" --count "$memory_values"
stop_pid "$host_pid"

start_host memory-cookies
measure_memory "pendrakel, $memory_cookies cookies of $((memory_values / memory_cookies)) values, 16-byte names" \
  "$host_pid" pendrakel --port "$host_port" --count "$memory_values" \
  --cookies "$memory_cookies"
stop_pid "$host_pid"

memcached_user=()
[[ $(id -u) -eq 0 ]] && memcached_user=(-u nobody)  # it refuses to run as root
port=$(free_port)
memcached -m "$MEMCACHED_MIB" -l 127.0.0.1 -p "$port" -U 0 \
  "${memcached_user[@]}" >"$WORK/memcached.log" 2>&1 &
pid=$!
started+=("$pid")
wait_for_port "$port" "$pid"
measure_memory "memcached $(memcached -V | cut -d' ' -f2), 10-byte keys" "$pid" \
  memcached --port "$port" --count "$memory_values"
stop_pid "$pid"

port=$(free_port)
mkdir -p "$WORK/redis"
redis-server --port "$port" --bind 127.0.0.1 --save '' --appendonly no \
  --dir "$WORK/redis" >"$WORK/redis.log" 2>&1 &
pid=$!
started+=("$pid")
wait_for_port "$port" "$pid"
measure_memory "redis $(redis-server --version | sed 's/.* v=\([^ ]*\).*/\1/'), 10-byte keys" \
  "$pid" redis --port "$port" --count "$memory_values"
stop_pid "$pid"

# --- persistence --------------------------------------------------------------

# The Persist setting's cost and promises: PUT and the 90/10 mix on hosts
# keeping their store in files (each Sync) beside one that does not, in
# alternating runs; the time and memory to load a store's files; and GET
# latency while the journal is rewritten as a snapshot of 1 M values.
persist_rows=()
readonly PERSIST_CSV="results/persist-$STAMP.csv"
# Values of the folders loaded (the first also holds the snapshot's).
persist_values=1000000 persist_big_values=10000000
if [[ $runs -eq 1 && $seconds -eq 2 ]]; then  # --quick
  persist_big_values=2000000
fi

# start_keeping NAME SYNC [FLAGS...]: start_host with the store kept in
# NAME's folder under Sync SYNC ("" for none). Sets keep_data too.
start_keeping() {
  local name=$1 sync=$2
  shift 2
  keep_data="$WORK/$name/data"
  mkdir -p "$keep_data"
  host_settings=""
  [[ -z "$sync" ]] || host_settings="<Persist Folder=\"$keep_data\" Sync=\"$sync\"/>"
  start_host "$name" "$@"
  host_settings=""
}

# counted_wrk SCRIPT URL PID: run_wrk for `seconds`, with the system calls
# and the syncs PID made meanwhile, per request, appended to its line.
counted_wrk() {
  local script=$1 url=$2 pid=$3 counts="$WORK/perf-$3.txt"
  perf stat -x, -e raw_syscalls:sys_enter,syscalls:sys_enter_fdatasync \
    -p "$pid" -o "$counts" -- sleep "$seconds" 2>/dev/null &
  local perf_pid=$!
  local line
  line=$(run_wrk "$script" "$url" "$seconds" "$pid")
  wait "$perf_pid" || true
  awk -F, -v line="$line" -v seconds="$seconds" '
    $3 ~ /sys_enter$/ { calls = $1 } $3 ~ /fdatasync/ { syncs = $1 }
    END {
      split(line, f, " "); requests = f[1] * seconds
      printf "%s %.2f %.3f\n", line, calls / requests, syncs / requests
    }' "$counts"
}

# range VALUES...: "median (min-max)".
range() {
  local sorted
  sorted=$(printf '%s\n' "$@" | sort -g)
  printf '%s (%s-%s)' "$(median "$@")" "$(head -n 1 <<<"$sorted")" "$(tail -n 1 <<<"$sorted")"
}

# persist_throughput ROW TITLE SCRIPT SYNC...: `runs` rounds of one run on
# each host, in turn (the first, without Persist, is the reference).
persist_throughput() {
  local row=$1 title=$2 script=$3
  shift 3
  local hosts=("$@") k rps p50 p99 err cpu calls syncs
  declare -A rps_of p99_of cpu_of calls_of syncs_of ratio_of
  for k in "${!hosts[@]}"; do
    run_wrk "$script" "http://127.0.0.1:${keep_port[$k]}/" "$warmup_seconds" \
      "${keep_pid[$k]}" >/dev/null
  done
  for ((run = 1; run <= runs; run++)); do
    local reference=""
    for k in "${!hosts[@]}"; do
      read -r rps p50 p99 err cpu calls syncs < <(counted_wrk "$script" \
        "http://127.0.0.1:${keep_port[$k]}/" "${keep_pid[$k]}")
      [[ "$err" -eq 0 ]] || any_errors=1
      echo "  $row run $run/$runs ${hosts[$k]:-no Persist}: $rps req/s p99 $p99 us CPU $cpu us/req $calls calls/req $syncs syncs/req errors $err"
      [[ -n "$reference" ]] || reference=$rps
      rps_of[$k]+="$rps " p99_of[$k]+="$p99 " cpu_of[$k]+="$cpu "
      calls_of[$k]+="$calls " syncs_of[$k]+="$syncs "
      ratio_of[$k]+="$(awk -v o="$rps" -v r="$reference" 'BEGIN { printf "%.3f", o / r }') "
    done
  done
  for k in "${!hosts[@]}"; do
    # shellcheck disable=SC2086
    persist_rows+=("$row|$title, ${hosts[$k]:+Sync=}${hosts[$k]:-no Persist}|$(range ${rps_of[$k]})|$(range ${ratio_of[$k]})|$(median ${p99_of[$k]})|$(median ${cpu_of[$k]})|$(median ${calls_of[$k]})|$(median ${syncs_of[$k]})")
  done
}

echo "== persistence: PUT and 90/10 with and without Persist"
persist_syncs=("" second always)
declare -A keep_pid keep_port
for k in "${!persist_syncs[@]}"; do
  start_keeping "keep-$k" "${persist_syncs[$k]}"
  keep_pid[$k]=$host_pid keep_port[$k]=$host_port
  python3 bench/load_values.py pendrakel --port "$host_port" --count "$NAMES" >/dev/null
done
persist_throughput P1 "PUT (replace)" put "${persist_syncs[@]}"
persist_throughput P2 "90 % GET / 10 % PUT" mixed "${persist_syncs[@]}"
for k in "${!persist_syncs[@]}"; do stop_pid "${keep_pid[$k]}"; done
# With two I/O threads, requests of both share a sync (group commit).
host_threads=2
start_keeping keep-always-2 always
host_threads=$HOST_THREADS
keep_pid=([0]=$host_pid) keep_port=([0]=$host_port)
python3 bench/load_values.py pendrakel --port "$host_port" --count "$NAMES" >/dev/null
persist_throughput P3 "PUT, 2 I/O threads" put always
stop_pid "$host_pid"

# Loading: a folder of N values written as the store would have, then
# start-ups on copies of it, timed to the first "listening on".
persist_load_rows=()
time_start() {
  python3 bench/startup_time.py "$BUILD/server/pendrakel-host" "$WORK/$1/pendrakel.so"
}
prepare_folder() {
  local name=$1 count=$2
  mkdir -p "$WORK/$name/data"
  cp "$BUILD/extension/pendrakel.so" "$WORK/$name/"
  printf '<Settings><Persist Folder="%s"/></Settings>\n' "$WORK/$name/data" \
    >"$WORK/$name/Pendrakel.setting"
  "$BUILD/bench/pendrakel_journal_maker" "$WORK/$name/data" "$count"
}
echo "== persistence: start-up on a folder of $persist_values and $persist_big_values values"
mkdir -p "$WORK/plain-start"
cp "$BUILD/extension/pendrakel.so" "$WORK/plain-start/"
for count in "$persist_values" "$persist_big_values"; do
  prepare_folder "load-$count" "$count"
  starts=() rss=() plain=()
  load_runs=$runs
  [[ $count -eq $persist_values ]] || load_runs=1
  for ((run = 1; run <= load_runs; run++)); do
    line=$(time_start "load-$count")
    echo "  $count values, run $run/$load_runs: $line"
    starts+=("$(sed -n 's/.*start_seconds=\([0-9.]*\).*/\1/p' <<<"$line")")
    rss+=("$(sed -n 's/.*rss_kb=\([0-9]*\).*/\1/p' <<<"$line")")
    plain+=("$(time_start plain-start | sed -n 's/.*start_seconds=\([0-9.]*\).*/\1/p')")
  done
  persist_load_rows+=("$count|$(range "${starts[@]}")|$(median "${plain[@]}")|$(awk -v k="$(median "${rss[@]}")" 'BEGIN { printf "%.0f", k / 1024 }')|$(du -m "$WORK/load-$count/data" | cut -f1)")
  [[ $count -eq $persist_values ]] || rm -rf "$WORK/load-$count"
done

# GET while a snapshot of the 1 M values is written: each run on a fresh
# copy of the folder, a run of GET, then one PUT (the writer sees that the
# journal is far beyond its last snapshot) and a run of GET during the
# snapshot it starts.
echo "== persistence: GET while a snapshot of $persist_values values is written"
quiet_p99=() busy_p99=() snapshot_seconds=()
folder="$WORK/load-$persist_values"
for ((run = 1; run <= runs; run++)); do
  rm -rf "$folder/copy" && cp -r "$folder/data" "$folder/copy"
  sed -i "s|$folder/data|$folder/copy|" "$folder/Pendrakel.setting"
  : >"$folder/host.log"  # not the job's redirection: the wait may come first
  "$BUILD/server/pendrakel-host" --module "$folder/pendrakel.so" \
    --listen 127.0.0.1:0 --threads "$HOST_THREADS" >"$folder/host.log" 2>&1 &
  host_pid=$!
  started+=("$host_pid")
  wait_for_line "$folder/host.log" '^listening on ' "$host_pid"
  host_port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$folder/host.log")
  read -r _ _ quiet _ _ < <(run_wrk get "http://127.0.0.1:$host_port/" "$seconds" "$host_pid")
  # When the snapshot is complete (renamed from its .partial), to 20 ms.
  rm -f "$WORK/snapshot-done"
  (for ((i = 0; i < 3000; i++)); do
     [[ -e "$folder/copy/snapshot.0000000002" ]] && break
     sleep 0.02
   done
   date +%s.%N >"$WORK/snapshot-done") &
  watcher=$!
  began=$(date +%s.%N)
  curl -sf -X PUT --data-binary x "http://127.0.0.1:$host_port/trigger" >/dev/null
  read -r _ _ busy _ _ < <(run_wrk get "http://127.0.0.1:$host_port/" "$seconds" "$host_pid")
  wait "$watcher"
  took=$(awk -v b="$began" -v d="$(cat "$WORK/snapshot-done")" 'BEGIN { printf "%.2f", d - b }')
  stop_pid "$host_pid"
  sed -i "s|$folder/copy|$folder/data|" "$folder/Pendrakel.setting"
  echo "  snapshot run $run/$runs: GET p99 $quiet us before, $busy us during; snapshot done $took s after the PUT"
  quiet_p99+=("$quiet") busy_p99+=("$busy") snapshot_seconds+=("$took")
done
rm -rf "$folder"
persist_snapshot_row="$(range "${quiet_p99[@]}")|$(range "${busy_p99[@]}")|$(median "${snapshot_seconds[@]}")"

# --- micro-benchmarks -------------------------------------------------------

echo "== micro-benchmarks"
"$BUILD/bench/pendrakel_bench" --benchmark_min_time="$micro_min_seconds" \
  --benchmark_out="$MICRO_JSON" --benchmark_out_format=json 2>&1 |
  grep -v 'Library was built as DEBUG'

# --- report -----------------------------------------------------------------

echo
echo "== results $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $runs run(s) of ${seconds} s per figure (median)"
csv_header

# The headline pairing is the one where nginx does best: the lowest median
# ratio over the scenario rows.
headline=""
headline_ratio=""
for pairing in "${pairings[@]}"; do
  echo
  print_pairing "$pairing"
  ratio_list=()
  for row in "${rows[@]}"; do
    IFS='|' read -r pair number _ _ _ ratio _ <<<"$row"
    [[ "$pair" == "$pairing" && "$number" != F* ]] && ratio_list+=("$ratio")
  done
  pairing_ratio=$(median "${ratio_list[@]}")
  if [[ -z "$headline" ]] || awk -v a="$pairing_ratio" -v b="$headline_ratio" 'BEGIN { exit !(a < b) }'; then
    headline=$pairing headline_ratio=$pairing_ratio
  fi
done
echo
echo "(ratio: median of the ratios of neighbouring runs, range: their lowest and"
echo " highest; CPU: server CPU time per request, all threads or workers; sys:"
echo " system calls per request, all threads or workers, counted by perf; met:"
echo " ratio at least the target, p99, CPU and system calls per request at most"
echo " ${P99_LIMIT}x, ${CPU_LIMIT}x and ${SYSCALL_LIMIT}x the reference's, and no errors; the floor rows"
echo " show the room above nginx on this machine)"
echo "headline: the $headline:$headline pairing, where nginx does best (median ratio $(printf '%.2f' "$headline_ratio"))"

echo
print_pairing tls
printf '%s\n' "${tls_lines[@]}"
echo
echo "resident memory growth per stored 100-byte value (target: at most 160 bytes):"
echo "store,bytes_per_value" >"$MEMORY_CSV"
for row in "${memory_rows[@]}"; do
  IFS='|' read -r label bytes <<<"$row"
  printf '  %-62s %7s bytes\n' "$label" "$bytes"
  echo "\"$label\",$bytes" >>"$MEMORY_CSV"
done
echo
echo "access log: ${log_cost} % of GET throughput (target under 5 %), ${log_cpu_cost} % more CPU per request"
echo
echo "1 MiB PUT time in ms (median/max), quiet and beside 1000 trickling uploaders:"
echo "  $slow_clients_line"
echo "kernel memory per reader stalled on a $STALLED_VALUE_MIB MiB value (the server's send queue; all TCP memory):"
echo "  ours:      $stalled_ours"
echo "  reference: $stalled_ref"
echo
echo "persistence (load average $(cut -d' ' -f1-3 /proc/loadavg)): req/s and ratio to no Persist as median (min-max)"
echo "row,title,req_per_s,ratio,p99_us,cpu_us_per_request,calls_per_request,syncs_per_request" >"$PERSIST_CSV"
printf '  %-42s %-24s %-20s %8s %8s %7s %7s\n' scenario "req/s" ratio "p99 ms" "CPU us" calls syncs
for row in "${persist_rows[@]}"; do
  IFS='|' read -r number title rps ratio p99 cpu calls syncs <<<"$row"
  printf '  %-42s %-24s %-20s %8.2f %8.1f %7s %7s\n' "$number. $title" "$rps" "$ratio" \
    "$(awk -v v="$p99" 'BEGIN { print v / 1000 }')" "$cpu" "$calls" "$syncs"
  echo "\"$number. $title\",\"$rps\",\"$ratio\",$p99,$cpu,$calls,$syncs" >>"$PERSIST_CSV"
done
echo "  (goal: Sync=second within 10 % of no Persist; Sync=always answers each PUT"
echo "   after its sync, and holds its host I/O thread meanwhile)"
for row in "${persist_load_rows[@]}"; do
  IFS='|' read -r count start plain rss_mb folder_mb <<<"$row"
  echo "  start-up on $count values ($folder_mb MB of files): $start s (without Persist $plain s), resident $rss_mb MB"
done
IFS='|' read -r quiet busy took <<<"$persist_snapshot_row"
echo "  GET p99 in us: $quiet before a snapshot of $persist_values values, $busy while it is written (done $took s after it began)"
echo
echo "written: $CSV $MEMORY_CSV $PERSIST_CSV $MICRO_JSON $LOG"
if [[ $any_errors -ne 0 ]]; then
  fail "some runs had errors (see the per-run lines above)"
fi
