#include "engine/FaultRules.h"

#include "engine/FunctionCodes.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace pomrel {

namespace {

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// A counter-based generator: the draw for a request depends only on the seed and on how many
// matching requests came before it, never on timing or on other rules.
std::uint64_t SplitMix(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

bool Touches(std::uint32_t first, std::uint32_t last, const FaultRule& rule)
{
    return first != 0 && first <= rule.last && last >= rule.first;
}

bool IsNetworkLink(const std::string& name)
{
    return name == "tcp" || name == "udp" || name == "rtu-over-tcp" || name == "tls";
}

// "serial:N" -> N, or 0.
int SerialPortOf(const std::string& name)
{
    if (name.rfind("serial:", 0) != 0)
        return 0;
    int port = 0;
    const char* begin = name.data() + 7;
    const char* end = name.data() + name.size();
    const auto [ptr, ec] = std::from_chars(begin, end, port);
    return ec == std::errc() && ptr == end ? port : 0;
}

bool SendsSomething(FaultAction a) { return a != FaultAction::NoReply && a != FaultAction::Close; }

} // namespace

double FaultDraw(std::uint64_t seed, std::uint64_t n)
{
    return static_cast<double>(SplitMix(seed ^ SplitMix(n)) >> 11) * 0x1.0p-53;
}

std::uint8_t FaultJunkByte(std::uint64_t seed, std::uint64_t n)
{
    return static_cast<std::uint8_t>(SplitMix(seed + 0x5851F42D4C957F2Dull * (n + 1)) >> 56);
}

FaultRequest DescribeRequest(LinkId link, std::uint8_t unit, const std::uint8_t* pdu, std::size_t size)
{
    FaultRequest r;
    r.link = link;
    r.unit = unit;
    if (size == 0)
        return r;
    r.function = pdu[0];
    if (static_cast<FunctionCode>(pdu[0]) == FunctionCode::ReadFifoQueue) {
        // The FIFO's pointer register; how many values follow it is the register's to say.
        if (size >= 3) {
            r.pointType = 3;
            r.first = r.last = U16(pdu + 1) + 1u;
        }
        return r;
    }
    if (size < 5)
        return r;
    const std::uint32_t start = U16(pdu + 1) + 1u;
    const std::uint16_t second = U16(pdu + 3);
    auto range = [&](int type, std::uint32_t count) {
        r.pointType = type;
        r.first = start;
        r.last = start + (count == 0 ? 0 : count - 1);
    };
    switch (static_cast<FunctionCode>(pdu[0])) {
    case FunctionCode::ReadCoils: range(1, second); break;
    case FunctionCode::ReadDiscreteInputs: range(2, second); break;
    case FunctionCode::ReadHoldingRegisters: range(3, second); break;
    case FunctionCode::ReadInputRegisters: range(4, second); break;
    case FunctionCode::WriteSingleCoil: range(1, 1); break;
    case FunctionCode::WriteSingleRegister: range(3, 1); break;
    case FunctionCode::WriteMultipleCoils: range(1, second); break;
    case FunctionCode::WriteMultipleRegisters: range(3, second); break;
    case FunctionCode::MaskWriteRegister: range(3, 1); break;
    case FunctionCode::ReadWriteMultipleRegisters:
        range(3, second);
        if (size >= 9) {
            r.first2 = U16(pdu + 5) + 1u;
            const std::uint16_t written = U16(pdu + 7);
            r.last2 = r.first2 + (written == 0 ? 0 : written - 1);
        }
        break;
    default:
        break;
    }
    return r;
}

std::string CheckFaultRule(const FaultRule& rule)
{
    if (rule.unit < -1 || rule.unit > 255)
        return "unit: must be 0 to 255";
    if (rule.pointType < 0 || rule.pointType > 4)
        return "type: must be 1 to 4";
    if (rule.first > 65536)
        return "first: must be 1 to 65536";
    if (rule.last > 65536)
        return "last: must be 1 to 65536";
    if ((rule.first == 0) != (rule.last == 0))
        return "first: give both first and last, or neither";
    if (rule.last < rule.first)
        return "last: must not be below first";
    if (!IsNetworkLink(rule.link) && rule.link != "any" && rule.link != "serial") {
        const int port = SerialPortOf(rule.link);
        if (port < 1 || port > 32)
            return "link: must be \"any\", \"tcp\", \"udp\", \"rtu-over-tcp\", \"tls\", \"serial\" or \"serial:N\" with N 1 to 32";
    }
    if (rule.every == 0)
        return "every: must be 1 or more";
    if (!(rule.probability >= 0.0 && rule.probability <= 1.0))
        return "probability: must be 0 to 1";
    if (!(rule.fromS >= 0.0) || !std::isfinite(rule.fromS))
        return "from_s: must be 0 or more";
    if (std::isnan(rule.untilS) || (rule.untilS >= 0.0 && rule.untilS < rule.fromS))
        return "until_s: must not be before from_s";
    if (rule.delayMs > 600000)
        return "delay_ms: must be 0 to 600000";
    if (rule.delayMs != 0 && !SendsSomething(rule.action))
        return "delay_ms: only with an action that sends something";
    switch (rule.action) {
    case FaultAction::Exception:
        if (rule.exceptionCode == 0)
            return "code: must be 1 to 255";
        break;
    case FaultAction::BadChecksum:
        if (rule.link == "tcp" || rule.link == "udp" || rule.link == "tls")
            return "action: bad-checksum is for serial links and RTU over TCP (Modbus/TCP has no checksum)";
        break;
    case FaultAction::Close:
        if (rule.link != "tcp" && rule.link != "rtu-over-tcp" && rule.link != "tls")
            return "action: close is for connections only (give \"link\": \"tcp\", \"rtu-over-tcp\" or \"tls\")";
        break;
    case FaultAction::Truncate:
    case FaultAction::Junk:
        if (rule.bytes == 0 || rule.bytes > 512)
            return "bytes: must be 1 to 512";
        break;
    case FaultAction::Split:
        if (rule.gapMs == 0 || rule.gapMs > 60000)
            return "gap_ms: must be 1 to 60000";
        break;
    default:
        break;
    }
    return {};
}

FaultSet::FaultSet(std::vector<FaultRule> rules, Clock::time_point loaded, const FaultSet* carried)
    : rules_(std::move(rules)), counters_(std::make_unique<Counters[]>(rules_.size())), loaded_(loaded)
{
    links_.reserve(rules_.size());
    for (const FaultRule& r : rules_) {
        LinkFilter f;
        if (r.link == "tcp")
            f.kind = LinkFilter::Tcp;
        else if (r.link == "udp")
            f.kind = LinkFilter::Udp;
        else if (r.link == "rtu-over-tcp")
            f.kind = LinkFilter::RtuOverTcp;
        else if (r.link == "tls")
            f.kind = LinkFilter::Tls;
        else if (r.link == "serial")
            f.kind = LinkFilter::Serial;
        else if ((f.port = SerialPortOf(r.link)) != 0)
            f.kind = LinkFilter::SerialPort;
        else if (r.link != "any")
            f.kind = LinkFilter::Unknown;
        links_.push_back(f);
    }
    for (std::size_t i = 0; i < rules_.size(); ++i)
        if (rules_[i].id != 0)
            byId_.emplace_back(rules_[i].id, static_cast<std::uint32_t>(i));
    std::sort(byId_.begin(), byId_.end());
    if (!carried)
        return;
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        const std::size_t j = rules_[i].id == 0 ? kNotFound : carried->IndexOf(rules_[i].id);
        if (j == kNotFound)
            continue;
        counters_[i].matched.store(carried->Matched(j), std::memory_order_relaxed);
        counters_[i].fired.store(carried->Fired(j), std::memory_order_relaxed);
    }
}

std::size_t FaultSet::IndexOf(std::uint32_t id) const
{
    const auto it = std::lower_bound(byId_.begin(), byId_.end(), std::make_pair(id, std::uint32_t{0}));
    return it != byId_.end() && it->first == id ? it->second : kNotFound;
}

bool FaultSet::Matches(std::size_t i, const FaultRequest& r, double seconds) const
{
    const FaultRule& rule = rules_[i];
    if (!rule.enabled || (rule.unit >= 0 && rule.unit != r.unit))
        return false;
    if (seconds < rule.fromS || (rule.untilS >= 0.0 && seconds >= rule.untilS))
        return false;
    const LinkFilter& link = links_[i];
    switch (link.kind) {
    case LinkFilter::Any: break;
    case LinkFilter::Tcp: if (r.link.kind != LinkId::Kind::Tcp) return false; break;
    case LinkFilter::Serial: if (r.link.kind != LinkId::Kind::Serial) return false; break;
    case LinkFilter::Udp: if (r.link.kind != LinkId::Kind::Udp) return false; break;
    case LinkFilter::RtuOverTcp: if (r.link.kind != LinkId::Kind::RtuOverTcp) return false; break;
    case LinkFilter::Tls: if (r.link.kind != LinkId::Kind::Tls) return false; break;
    case LinkFilter::SerialPort:
        if (r.link.kind != LinkId::Kind::Serial || r.link.port != link.port) return false;
        break;
    case LinkFilter::Unknown: return false;
    }
    if (!rule.functions.empty()) {
        bool listed = false;
        for (std::uint8_t f : rule.functions)
            listed |= f == r.function;
        if (!listed)
            return false;
    }
    if (rule.pointType != 0 && rule.pointType != r.pointType)
        return false;
    if (rule.first != 0 && !Touches(r.first, r.last, rule) && !Touches(r.first2, r.last2, rule))
        return false;
    return true;
}

FaultDecision FaultSet::Decide(const FaultRequest& request, Clock::time_point now) const
{
    FaultDecision d;
    const double seconds = std::chrono::duration<double>(now - loaded_).count();
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        if (!Matches(i, request, seconds))
            continue;
        const FaultRule& rule = rules_[i];
        Counters& c = counters_[i];
        const std::uint64_t n = c.matched.fetch_add(1, std::memory_order_relaxed) + 1;
        if (n <= rule.after || (n - rule.after) % rule.every != 0)
            continue;
        if (FaultDraw(rule.seed, n) >= rule.probability)
            continue;
        // Count the firing unless the limit is reached (a CAS, should two links race).
        std::uint64_t fired = c.fired.load(std::memory_order_relaxed);
        do {
            if (rule.times != 0 && fired >= rule.times)
                break;
        } while (!c.fired.compare_exchange_weak(fired, fired + 1, std::memory_order_relaxed));
        if (rule.times != 0 && fired >= rule.times)
            continue;
        d.fired = true;
        d.action = rule.action;
        d.exceptionCode = rule.exceptionCode;
        d.delayMs = rule.delayMs;
        d.bytes = rule.bytes;
        d.gapMs = rule.gapMs;
        d.junkSeed = rule.seed ^ (n * 0x2545F4914F6CDD1Dull);
        d.ruleName = &rule.name;
        return d;
    }
    return d;
}

} // namespace pomrel
