-- wrk script: each thread stops after its share of a fixed number of requests and leaves a marker file; bench/load.sh then interrupts wrk, which prints its totals.
local threads = 0
local share = 0
local marker = nil
local answered = 0

function setup(thread)
  threads = threads + 1
  thread:set("id", threads)
end

function init(args)
  share = tonumber(args[1]) or 10000
  marker = args[2]
end

function response(status, headers, body)
  answered = answered + 1
  if answered == share then
    if marker then
      local file = io.open(marker .. "/thread-" .. id, "w")
      if file then file:close() end
    end
    wrk.thread:stop()
  end
end

function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("load-summary requests=%d connect=%d read=%d write=%d status=%d timeout=%d p99_ms=%.2f\n",
    summary.requests, e.connect, e.read, e.write, e.status, e.timeout, latency:percentile(99) / 1000))
end
