-- PUT in the method form: replaces the 100 000 stored names with 100-byte
-- bodies.
local common = dofile(debug.getinfo(1, "S").source:sub(2):match("(.*/)") ..
                      "wrk_common.lua")

function init(args)
  local body = common.body()
  local requests = {}
  for i = 1, common.NAMES do
    local name = common.name(common.scattered(i, common.NAMES))
    requests[i] = wrk.format("PUT", "/" .. name, nil, body)
  end
  common.rotate(requests)
end

function done(summary, latency, requests)
  common.report(summary, latency)
end
