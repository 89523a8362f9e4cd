-- 90 % GET and 10 % PUT in the method form over the 100 000 stored names:
-- every tenth request replaces the name it would have read.
local common = dofile(debug.getinfo(1, "S").source:sub(2):match("(.*/)") ..
                      "wrk_common.lua")

function init(args)
  local body = common.body()
  local requests = {}
  for i = 1, common.NAMES do
    local path = "/" .. common.name(common.scattered(i, common.NAMES))
    if i % 10 == 0 then
      requests[i] = wrk.format("PUT", path, nil, body)
    else
      requests[i] = wrk.format("GET", path)
    end
  end
  common.rotate(requests)
end

function done(summary, latency, requests)
  common.report(summary, latency)
end
