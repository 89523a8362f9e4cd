-- GET in the method form over the 100 000 stored names.
local common = dofile(debug.getinfo(1, "S").source:sub(2):match("(.*/)") ..
                      "wrk_common.lua")

function init(args)
  local requests = {}
  for i = 1, common.NAMES do
    local name = common.name(common.scattered(i, common.NAMES))
    requests[i] = wrk.format("GET", "/" .. name)
  end
  common.rotate(requests)
end

function done(summary, latency, requests)
  common.report(summary, latency)
end
