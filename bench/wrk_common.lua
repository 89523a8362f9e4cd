-- Shared by the wrk scenario scripts: the names, bodies and cookies the
-- benchmark stores (the same the loader stores), a cheap request rotation,
-- and the one result line that scripts/bench.sh reads.
--
-- Requests are made once in init(); request() only hands out the next one,
-- so wrk spends as little of the shared cores as possible on Lua.
local common = {}

-- As bench/bench_names.h and bench/load_values.py: 16-byte names,
-- 100-byte values, 10 000 cookies of 10 names each.
common.NAMES = 100000
common.VALUE_BYTES = 100
common.COOKIES = 10000
common.NAMES_PER_COOKIE = 10
-- A prime larger than any count here: index * STRIDE mod count visits every
-- index once, in an order where neighbours are far apart.
local STRIDE = 15485863

function common.name(i)
  return string.format("n%015d", i)
end

-- The i-th cookie: a name and 32 hex digits, shaped like the cookies the
-- extension hands out (which are random): four 32-bit parts, each an odd
-- multiple of i plus a constant, so that cookies differ early and never
-- repeat. Every product stays below 2^53, exact in Lua's numbers.
local COOKIE_MULTIPLIERS = {1664525, 1103515, 2013265, 1234567}
local COOKIE_OFFSETS = {1013904223, 12345, 2531011, 3141592653}

function common.cookie(i)
  local parts = {}
  for k = 1, 4 do
    parts[k] = string.format("%08x",
      (i * COOKIE_MULTIPLIERS[k] + COOKIE_OFFSETS[k]) % 4294967296)
  end
  return "pk=" .. table.concat(parts)
end

function common.body()
  return string.rep("v", common.VALUE_BYTES)
end

-- The i-th index (1-based) of a scattered walk over [0, count).
function common.scattered(i, count)
  return (i * STRIDE) % count
end

-- GET requests in the method form over `count` of the stored names, in a
-- scattered order, with the extra `headers` (a table, may be nil).
function common.gets(count, headers)
  local requests = {}
  for i = 1, count do
    local name = common.name(common.scattered(i, common.NAMES))
    requests[i] = wrk.format("GET", "/" .. name, headers)
  end
  return requests
end

-- Installs request() to hand out one fixed GET of `path`.
function common.get_one(path)
  local get = wrk.format("GET", path)
  request = function() return get end
end

-- Installs request() to hand out `requests` round and round.
function common.rotate(requests)
  local count = #requests
  local next = 0
  request = function()
    next = next + 1
    if next > count then next = 1 end
    return requests[next]
  end
end

-- One line with the figures of the run, read by scripts/bench.sh.
function common.report(summary, latency)
  local e = summary.errors
  io.write(string.format(
    "RESULT requests=%d duration_us=%d p50_us=%d p99_us=%d " ..
    "connect_errors=%d read_errors=%d write_errors=%d status_errors=%d " ..
    "timeouts=%d\n",
    summary.requests, summary.duration, latency:percentile(50),
    latency:percentile(99), e.connect, e.read, e.write, e.status, e.timeout))
end

return common
