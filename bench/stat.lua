-- STAT: the memory total and the counters as response header lines.
--
-- wrk checks the first request() result with its HTTP parser, which knows no
-- STAT method; that first result is only checked, never sent, so it is a
-- plain GET and every later one is the STAT request.
local common = dofile(debug.getinfo(1, "S").source:sub(2):match("(.*/)") ..
                      "wrk_common.lua")

function init(args)
  local stat = wrk.format("STAT", "/")
  request = function()
    request = function() return stat end
    return wrk.format("GET", "/")
  end
end

function done(summary, latency, requests)
  common.report(summary, latency)
end
