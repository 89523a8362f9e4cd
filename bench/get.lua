-- GET in the method form over the 100 000 stored names.
local common = dofile(debug.getinfo(1, "S").source:sub(2):match("(.*/)") ..
                      "wrk_common.lua")

function init(args)
  common.rotate(common.gets(common.NAMES))
end

function done(summary, latency, requests)
  common.report(summary, latency)
end
