// One Lua 5.4 script of the behaviour: its own state, with the standard libraries but nothing
// that reaches files, processes or the network, a memory limit, and calls stopped after 100 ms
// (an instruction-count hook looks at the clock). What a script may define and call:
//   on_write(w)   w.unit, w.type, w.address, w.count, w.values, w.link, w.peer
//   on_tick(ms)   every tick_ms; ms since the script was put in force
//   kv.get(unit, type, address [, width [, swapped]]) / kv.set(unit, type, address, number [, width [, swapped]])
//   kv.after(ms, fn)   once, later
//   kv.log(...)        a line in the behaviour's log (print says the same)
// Errors are "file:line: message", the file as the extras name it. Used by one thread at a time.
#pragma once

#include "behaviour/BehaviourScenario.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct lua_State;
namespace pomrel { struct WriteRecord; }

namespace behaviour {

class LuaScript;
struct CallPlan;

/// What a script reaches: the book answers.
class ScriptHost {
public:
    virtual ~ScriptHost() = default;
    /// A point's value; false with `error` when no open data window serves it.
    virtual bool Get(int unit, int type, std::uint32_t address, Encoding e, bool swapped, double& value,
                     std::string& error) = 0;
    virtual bool Set(int unit, int type, std::uint32_t address, double value, Encoding e, bool swapped,
                     std::string& error) = 0;
    /// Calls the function the script keeps at `ref` `ms` from now; false when too many wait.
    virtual bool After(LuaScript& script, std::int64_t ms, int ref) = 0;
    virtual void Log(LuaScript& script, std::string text) = 0;
};

class LuaScript {
public:
    static constexpr std::int64_t kCallLimitMs = 100;
    static constexpr std::size_t kMemoryLimit = 64u << 20;
    static constexpr std::uintmax_t kMaxFileBytes = 4u << 20;

    /// Reads and runs the file (its top level, under the same limits as a call). Nothing and
    /// "file:line: message" (or "file: why") when it does not load.
    static std::unique_ptr<LuaScript> Load(const ScriptSpec& spec, ScriptHost& host, std::string& error);
    ~LuaScript();
    LuaScript(const LuaScript&) = delete;
    LuaScript& operator=(const LuaScript&) = delete;

    const ScriptSpec& Spec() const { return spec_; }
    bool HasOnWrite() const { return hasOnWrite_; }
    bool HasOnTick() const { return hasOnTick_; }

    /// Each is one call: false with `error` when it failed or was stopped.
    bool OnWrite(const pomrel::WriteRecord& w, std::string& error);
    bool OnTick(std::int64_t ms, std::string& error);
    /// Calls the function kept at `ref` and lets go of it.
    bool RunLater(int ref, std::string& error);
    /// Lets go of a function kept for kv.after without calling it.
    void Drop(int ref);

private:
    explicit LuaScript(ScriptSpec spec, ScriptHost& host);
    bool Call(int args, std::string& error);
    bool Run(CallPlan& plan, std::string& error);
    static void* Allocate(void* ud, void* ptr, std::size_t oldSize, std::size_t newSize);

    ScriptSpec spec_;
    ScriptHost& host_;
    lua_State* L_ = nullptr;
    std::size_t used_ = 0;
    std::int64_t deadlineNs_ = 0;
    bool hasOnWrite_ = false;
    bool hasOnTick_ = false;

    friend struct LuaScriptAccess;
};

} // namespace behaviour
