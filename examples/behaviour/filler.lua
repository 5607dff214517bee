-- A tank filler. A master starts it by writing 1 to 40100; each tick it raises the level in
-- 40001-40002 (float32) by 0.5 up to 100, then sets coil 1 (full) and writes 2 (done) to 40101.
local filling = false

function on_write(w)
  if w.unit ~= 1 or w.type ~= 3 then return end
  local i = 100 - w.address + 1          -- where 40100 is among the written words
  if i >= 1 and i <= #w.values and w.values[i] == 1 then
    filling = true
    kv.set(1, 3, 1, 0, "float32")
    kv.set(1, 1, 1, 0)
    kv.log("filling")
  end
end

function on_tick(ms)
  if not filling then return end
  local level = kv.get(1, 3, 1, "float32") + 0.5
  if level >= 100 then
    level = 100
    filling = false
    kv.set(1, 1, 1, 1)
    kv.set(1, 3, 101, 2)
    kv.log("full after " .. ms .. " ms")
  end
  kv.set(1, 3, 1, level, "float32")
end
