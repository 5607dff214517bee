#include "behaviour/LuaScript.h"

#include "engine/AccessRecorder.h"
#include "engine/WriteFeed.h"

#include <lua.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace behaviour {

// The C functions Lua calls reach the script's private parts through here.
struct LuaScriptAccess {
    static ScriptHost& Host(LuaScript& s) { return s.host_; }
    static std::int64_t Deadline(const LuaScript& s) { return s.deadlineNs_; }
    static std::size_t& Used(LuaScript& s) { return s.used_; }
};

namespace {

constexpr int kHookInstructions = 10'000;
constexpr std::size_t kMaxLogLine = 2000;
constexpr lua_Integer kMaxAfterMs = 3'600'000;

std::int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

LuaScript& Self(lua_State* L) { return **static_cast<LuaScript**>(lua_getextraspace(L)); }

// Runs past the call's time: stopped where it is, with its file and line.
void Hook(lua_State* L, lua_Debug* ar)
{
    if (NowNs() <= LuaScriptAccess::Deadline(Self(L)))
        return;
    lua_getinfo(L, "Sl", ar);
    lua_pushfstring(L, "%s:%d: stopped: the call ran longer than %d ms", ar->short_src, ar->currentline,
                    static_cast<int>(LuaScript::kCallLimitMs));
    lua_error(L);
}

// Arguments shared by kv.get and kv.set: unit, type, address, then width and swapped at `at`.
struct PointArgs {
    int unit = 0;
    int type = 0;
    std::uint32_t address = 0;
    Encoding width = Encoding::Uint16;
    bool swapped = false;
};

// Raises a Lua error (no C++ object is alive when it does).
PointArgs ReadPointArgs(lua_State* L, int at)
{
    PointArgs a;
    const lua_Integer unit = luaL_checkinteger(L, 1);
    const lua_Integer type = luaL_checkinteger(L, 2);
    const lua_Integer address = luaL_checkinteger(L, 3);
    luaL_argcheck(L, unit >= 1 && unit <= 255, 1, "unit 1 to 255");
    luaL_argcheck(L, type >= 1 && type <= 4, 2, "type 1 to 4");
    luaL_argcheck(L, address >= 1 && address <= 65536, 3, "address 1 to 65536");
    a.unit = static_cast<int>(unit);
    a.type = static_cast<int>(type);
    a.address = static_cast<std::uint32_t>(address);
    a.width = (a.type == 1 || a.type == 2) ? Encoding::Bit : Encoding::Uint16;
    const char* width = luaL_optstring(L, at, nullptr);
    a.swapped = lua_toboolean(L, at + 1) != 0;
    if (width != nullptr) {
        bool known = false;
        for (int e = 0; e <= static_cast<int>(Encoding::Float64); ++e) {
            if (std::strcmp(width, EncodingName(static_cast<Encoding>(e))) == 0) {
                a.width = static_cast<Encoding>(e);
                known = true;
            }
        }
        luaL_argcheck(L, known, at, "a width: bit, int16, uint16, int32, uint32, int64, uint64, float32 or float64");
    }
    return a;
}

int KvGet(lua_State* L)
{
    const PointArgs a = ReadPointArgs(L, 4);
    char failure[256] = {};
    double value = 0.0;
    {
        std::string error;
        if (!LuaScriptAccess::Host(Self(L)).Get(a.unit, a.type, a.address, a.width, a.swapped, value, error))
            std::snprintf(failure, sizeof failure, "%s", error.c_str());
    }
    if (failure[0] != '\0')
        return luaL_error(L, "kv.get: %s", failure);
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 9.2e18)
        lua_pushinteger(L, static_cast<lua_Integer>(value));
    else
        lua_pushnumber(L, value);
    return 1;
}

int KvSet(lua_State* L)
{
    const PointArgs a = ReadPointArgs(L, 5);
    const double value = static_cast<double>(luaL_checknumber(L, 4));
    char failure[256] = {};
    {
        std::string error;
        if (!LuaScriptAccess::Host(Self(L)).Set(a.unit, a.type, a.address, value, a.width, a.swapped, error))
            std::snprintf(failure, sizeof failure, "%s", error.c_str());
    }
    if (failure[0] != '\0')
        return luaL_error(L, "kv.set: %s", failure);
    return 0;
}

int KvAfter(lua_State* L)
{
    const lua_Integer ms = luaL_checkinteger(L, 1);
    luaL_argcheck(L, ms >= 0 && ms <= kMaxAfterMs, 1, "0 to 3600000 ms");
    luaL_checktype(L, 2, LUA_TFUNCTION);
    lua_pushvalue(L, 2);
    const int ref = luaL_ref(L, LUA_REGISTRYINDEX);
    if (!LuaScriptAccess::Host(Self(L)).After(Self(L), ms, ref)) {
        luaL_unref(L, LUA_REGISTRYINDEX, ref);
        return luaL_error(L, "kv.after: too many calls waiting");
    }
    return 0;
}

int KvLog(lua_State* L)
{
    const int n = lua_gettop(L);
    luaL_Buffer b;
    luaL_buffinit(L, &b);
    for (int i = 1; i <= n; ++i) {
        if (i > 1)
            luaL_addchar(&b, '\t');
        luaL_tolstring(L, i, nullptr);
        luaL_addvalue(&b);
    }
    luaL_pushresult(&b);
    std::size_t size = 0;
    const char* text = lua_tolstring(L, -1, &size);
    LuaScriptAccess::Host(Self(L)).Log(Self(L), std::string(text, std::min(size, kMaxLogLine)));
    return 0;
}

// load() of text only: a binary chunk can break the state's invariants.
int TextLoad(lua_State* L)
{
    if (lua_gettop(L) < 3)
        lua_settop(L, 3);
    lua_pushliteral(L, "t");
    lua_replace(L, 3);
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

void Remove(lua_State* L, const char* table, const char* name)
{
    if (table == nullptr) {
        lua_pushnil(L);
        lua_setglobal(L, name);
        return;
    }
    lua_getglobal(L, table);
    lua_pushnil(L);
    lua_setfield(L, -2, name);
    lua_pop(L, 1);
}

void OpenSandbox(lua_State* L)
{
    static const luaL_Reg libs[] = {{LUA_GNAME, luaopen_base},          {LUA_STRLIBNAME, luaopen_string},
                                    {LUA_TABLIBNAME, luaopen_table},    {LUA_MATHLIBNAME, luaopen_math},
                                    {LUA_UTF8LIBNAME, luaopen_utf8},    {LUA_COLIBNAME, luaopen_coroutine},
                                    {LUA_OSLIBNAME, luaopen_os}};
    for (const luaL_Reg& lib : libs) {
        luaL_requiref(L, lib.name, lib.func, 1);
        lua_pop(L, 1);
    }
    for (const char* name : {"dofile", "loadfile", "require"})
        Remove(L, nullptr, name);
    for (const char* name : {"execute", "remove", "rename", "exit", "getenv", "tmpname", "setlocale"})
        Remove(L, LUA_OSLIBNAME, name);
    lua_getglobal(L, "load");
    lua_pushcclosure(L, TextLoad, 1);
    lua_setglobal(L, "load");
    static const luaL_Reg kv[] = {{"get", KvGet}, {"set", KvSet}, {"after", KvAfter}, {"log", KvLog}, {nullptr, nullptr}};
    luaL_newlib(L, kv);
    lua_setglobal(L, "kv");
    lua_pushcfunction(L, KvLog);
    lua_setglobal(L, "print");
}

} // namespace

// What one protected call does. Every use of the state past loading goes through Trampoline,
// so that an error anywhere (even out of memory while building `w`) ends in lua_pcall.
struct CallPlan {
    enum class What : std::uint8_t { Open, Probe, Write, Tick, Later } what = What::Open;
    const pomrel::WriteRecord* write = nullptr;
    const std::string* link = nullptr;
    const std::string* peer = nullptr;
    lua_Integer ms = 0;
    int ref = LUA_NOREF;
    bool hasOnWrite = false;
    bool hasOnTick = false;
};

namespace {

int Trampoline(lua_State* L)
{
    auto* plan = static_cast<CallPlan*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    switch (plan->what) {
    case CallPlan::What::Open:
        OpenSandbox(L);
        return 0;
    case CallPlan::What::Probe:
        plan->hasOnWrite = lua_getglobal(L, "on_write") == LUA_TFUNCTION;
        plan->hasOnTick = lua_getglobal(L, "on_tick") == LUA_TFUNCTION;
        return 0;
    case CallPlan::What::Write: {
        if (lua_getglobal(L, "on_write") != LUA_TFUNCTION)
            return 0;
        const pomrel::WriteRecord& w = *plan->write;
        const std::size_t n = w.ValueCount();
        lua_createtable(L, 0, 7);
        lua_pushinteger(L, w.unit);
        lua_setfield(L, -2, "unit");
        lua_pushinteger(L, w.type);
        lua_setfield(L, -2, "type");
        lua_pushinteger(L, w.address);
        lua_setfield(L, -2, "address");
        lua_pushinteger(L, w.count);
        lua_setfield(L, -2, "count");
        lua_createtable(L, static_cast<int>(n), 0);
        for (std::size_t i = 0; i < n; ++i) {
            lua_pushinteger(L, w.Value(i));
            lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
        }
        lua_setfield(L, -2, "values");
        lua_pushlstring(L, plan->link->data(), plan->link->size());
        lua_setfield(L, -2, "link");
        lua_pushlstring(L, plan->peer->data(), plan->peer->size());
        lua_setfield(L, -2, "peer");
        lua_call(L, 1, 0);
        return 0;
    }
    case CallPlan::What::Tick:
        if (lua_getglobal(L, "on_tick") != LUA_TFUNCTION)
            return 0;
        lua_pushinteger(L, plan->ms);
        lua_call(L, 1, 0);
        return 0;
    case CallPlan::What::Later:
        lua_rawgeti(L, LUA_REGISTRYINDEX, plan->ref);
        luaL_unref(L, LUA_REGISTRYINDEX, plan->ref);
        lua_call(L, 0, 0);
        return 0;
    }
    return 0;
}

} // namespace

void* LuaScript::Allocate(void* ud, void* ptr, std::size_t oldSize, std::size_t newSize)
{
    std::size_t& used = LuaScriptAccess::Used(*static_cast<LuaScript*>(ud));
    const std::size_t old = ptr != nullptr ? oldSize : 0;
    if (newSize == 0) {
        std::free(ptr);
        used -= old;
        return nullptr;
    }
    if (newSize > old && used - old + newSize > kMemoryLimit)
        return nullptr;
    void* p = std::realloc(ptr, newSize);
    if (p != nullptr)
        used = used - old + newSize;
    return p;
}

LuaScript::LuaScript(ScriptSpec spec, ScriptHost& host) : spec_(std::move(spec)), host_(host) {}

LuaScript::~LuaScript()
{
    if (L_ != nullptr)
        lua_close(L_);
}

std::unique_ptr<LuaScript> LuaScript::Load(const ScriptSpec& spec, ScriptHost& host, std::string& error)
{
    namespace fs = std::filesystem;
    const std::string shown = spec.file.empty() ? spec.path : spec.file;
    std::error_code ec;
    const fs::file_status status = fs::status(spec.path, ec);
    if (ec || !fs::exists(status)) {
        error = shown + ": no such file";
        return nullptr;
    }
    if (!fs::is_regular_file(status)) {
        error = shown + ": not a regular file";
        return nullptr;
    }
    const std::uintmax_t size = fs::file_size(spec.path, ec);
    if (ec || size > kMaxFileBytes) {
        error = shown + ": larger than " + std::to_string(kMaxFileBytes) + " bytes";
        return nullptr;
    }
    std::ifstream in(spec.path, std::ios::binary);
    std::string text;
    if (in)
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        error = shown + ": cannot be read";
        return nullptr;
    }
    if (text.size() > kMaxFileBytes)
        text.resize(kMaxFileBytes);

    std::unique_ptr<LuaScript> script(new LuaScript(spec, host));
    lua_State* L = lua_newstate(&LuaScript::Allocate, script.get());
    if (L == nullptr) {
        error = shown + ": not enough memory";
        return nullptr;
    }
    script->L_ = L;
    *static_cast<LuaScript**>(lua_getextraspace(L)) = script.get();
    lua_sethook(L, Hook, LUA_MASKCOUNT, kHookInstructions);
    CallPlan open;
    if (!script->Run(open, error))
        return nullptr;
    const std::string chunkName = "@" + shown;
    if (luaL_loadbufferx(L, text.data(), text.size(), chunkName.c_str(), "t") != LUA_OK) {
        const char* message = lua_tostring(L, -1);
        error = message != nullptr ? message : shown + ": does not load";
        return nullptr;
    }
    if (!script->Call(0, error))
        return nullptr;
    CallPlan probe;
    probe.what = CallPlan::What::Probe;
    if (!script->Run(probe, error))
        return nullptr;
    script->hasOnWrite_ = probe.hasOnWrite;
    script->hasOnTick_ = probe.hasOnTick;
    return script;
}

bool LuaScript::Call(int args, std::string& error)
{
    deadlineNs_ = NowNs() + kCallLimitMs * 1'000'000;
    const int rc = lua_pcall(L_, args, 0, 0);
    if (rc == LUA_OK)
        return true;
    const char* message = lua_type(L_, -1) == LUA_TSTRING ? lua_tostring(L_, -1) : nullptr;
    if (rc == LUA_ERRMEM)
        error = spec_.file + ": not enough memory (the limit is " + std::to_string(kMemoryLimit >> 20) + " MB)";
    else if (message == nullptr)
        error = spec_.file + ": an error that is not a text";
    else if (std::strncmp(message, spec_.file.c_str(), spec_.file.size()) == 0)
        error = message;
    else
        error = spec_.file + ": " + message;   // error(x, 0), or raised where no line is known
    lua_settop(L_, 0);
    return false;
}

bool LuaScript::Run(CallPlan& plan, std::string& error)
{
    lua_pushcfunction(L_, Trampoline);
    lua_pushlightuserdata(L_, &plan);
    return Call(1, error);
}

bool LuaScript::OnWrite(const pomrel::WriteRecord& w, std::string& error)
{
    const std::string link = pomrel::LinkText(w.link);
    const std::string peer = pomrel::NetAddressText(w.peer);
    CallPlan plan;
    plan.what = CallPlan::What::Write;
    plan.write = &w;
    plan.link = &link;
    plan.peer = &peer;
    return Run(plan, error);
}

bool LuaScript::OnTick(std::int64_t ms, std::string& error)
{
    CallPlan plan;
    plan.what = CallPlan::What::Tick;
    plan.ms = ms;
    return Run(plan, error);
}

bool LuaScript::RunLater(int ref, std::string& error)
{
    CallPlan plan;
    plan.what = CallPlan::What::Later;
    plan.ref = ref;
    return Run(plan, error);
}

void LuaScript::Drop(int ref) { luaL_unref(L_, LUA_REGISTRYINDEX, ref); }

} // namespace behaviour
