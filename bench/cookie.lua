-- Cookie-keyed GET: each request carries one of 10 000 cookie texts and reads
-- one of the 10 names stored in that cookie's collection.
local common = dofile(debug.getinfo(1, "S").source:sub(2):match("(.*/)") ..
                      "wrk_common.lua")

function init(args)
  local count = common.COOKIES * common.NAMES_PER_COOKIE
  local requests = {}
  for i = 1, count do
    local k = common.scattered(i, count)
    local cookie = common.cookie(k % common.COOKIES)
    local name = common.name(math.floor(k / common.COOKIES))
    requests[i] = wrk.format("GET", "/" .. name, {["Cookie"] = cookie})
  end
  common.rotate(requests)
end

function done(summary, latency, requests)
  common.report(summary, latency)
end
