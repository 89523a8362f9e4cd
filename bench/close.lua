-- GET in the method form with Connection: close: every request on a new
-- connection, so accepting and tearing down connections is what is measured.
local common = dofile(debug.getinfo(1, "S").source:sub(2):match("(.*/)") ..
                      "wrk_common.lua")

function init(args)
  common.rotate(common.gets(1000, {["Connection"] = "close"}))
end

function done(summary, latency, requests)
  common.report(summary, latency)
end
