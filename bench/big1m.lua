-- GET of one large value, /big1m: the host sends it from the store, the
-- reference from a file in its open-file cache.
local common = dofile(debug.getinfo(1, "S").source:sub(2):match("(.*/)") ..
                      "wrk_common.lua")

function init(args)
  local get = wrk.format("GET", "/big1m")
  request = function() return get end
end

function done(summary, latency, requests)
  common.report(summary, latency)
end
