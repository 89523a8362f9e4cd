-- GET of one large value, /big1m: the host sends it from the store, the
-- reference from a file in its open-file cache.
local common = dofile(debug.getinfo(1, "S").source:sub(2):match("(.*/)") ..
                      "wrk_common.lua")
function init(args) common.get_one("/big1m") end
function done(summary, latency, requests) common.report(summary, latency) end
