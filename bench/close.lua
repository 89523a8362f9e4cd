-- GET in the method form with Connection: close: every request on a new
-- connection, so accepting and tearing down connections is what is measured.
local common = dofile(debug.getinfo(1, "S").source:sub(2):match("(.*/)") ..
                      "wrk_common.lua")

function init(args)
  local requests = {}
  for i = 1, 1000 do
    local name = common.name(common.scattered(i, common.NAMES))
    requests[i] = wrk.format("GET", "/" .. name, {["Connection"] = "close"})
  end
  common.rotate(requests)
end

function done(summary, latency, requests)
  common.report(summary, latency)
end
