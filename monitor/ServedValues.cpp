#include "monitor/ServedValues.h"

#include "document/CKelvaro32Doc.h"
#include "document/DocumentView.h"
#include "document/OpenDocuments.h"
#include "document/RegisterValues.h"
#include "engine/TrafficLog.h"
#include "view/ValueFormat.h"

#include <algorithm>
#include <bit>
#include <cstdio>

namespace monitor {

namespace {

constexpr int kHoldingRegisters = 3;
constexpr int kInputRegisters = 4;

// Where the register values of a frame sit: point type and first point, or nothing for a frame
// without register values of a data block.
std::optional<std::pair<int, std::uint32_t>> ValuesPlace(const DecodedFrame& d)
{
    switch (d.function) {
    case 3:
    case 4:
        if (d.request || !d.address)
            return std::nullopt;
        return std::pair{d.function == 3 ? kHoldingRegisters : kInputRegisters, *d.address};
    case 6:
        if (!d.address)
            return std::nullopt;
        return std::pair{kHoldingRegisters, *d.address};
    case 16:
        if (!d.request || !d.address)
            return std::nullopt;
        return std::pair{kHoldingRegisters, *d.address};
    case 23: {
        // The request carries the write half's values, the answer the read half's.
        const auto first = d.request ? d.writeAddress : d.address;
        if (!first)
            return std::nullopt;
        return std::pair{kHoldingRegisters, *first};
    }
    default:
        return std::nullopt;
    }
}

void AppendWordText(std::string& out, std::uint16_t word, int format)
{
    char buf[24];
    if (format == kHex) {
        std::snprintf(buf, sizeof buf, "%04XH", unsigned(word));
        out += buf;
    } else if (format == kBinary) {
        for (int bit = 15; bit >= 0; --bit)
            out += (word >> bit) & 1 ? '1' : '0';
    } else {
        out += std::to_string(word);
    }
}

// The window's float text without its column padding.
void AppendFloat(std::string& out, double value)
{
    std::string text;
    valuefmt::AppendFloatText(text, value);
    const auto start = text.find_first_not_of(' ');
    out.append(text, start == std::string::npos ? text.size() : start);
}

} // namespace

std::optional<std::string> ServedValuesText(const TappedFrame& frame, const ServingLookup& lookup, std::size_t shown)
{
    const DecodedFrame& d = frame.decoded;
    if (!lookup || !d.ok || d.exception || d.check == DecodedFrame::Check::Bad ||
        frame.record.attribute == pomrel::kDiscarded || d.unit < 0)
        return std::nullopt;
    const auto place = ValuesPlace(d);
    if (!place)
        return std::nullopt;
    std::vector<std::uint16_t> decoded;
    if (d.values.empty() && !frame.record.bytes.empty())
        decoded = DecodeFrame(frame.record).values;
    const std::vector<std::uint16_t>& words = d.values.empty() ? decoded : d.values;
    if (words.empty())
        return std::nullopt;
    const auto [pointType, first] = *place;
    const std::optional<ServedBlock> block = lookup(frame.record.source.link, d.unit, pointType, first);
    if (!block || !regval::IsDisplayFormat(block->format))
        return std::nullopt;
    const regval::ValueLayout& layout = regval::LayoutOf(block->format);

    // ENRON: a point is one 32-bit value in two words, the high one first on the wire; else a
    // value takes `registers` points, and the frame must start on one of the window's values.
    const std::size_t wordsPerValue = static_cast<std::size_t>(layout.registers);
    if (words.size() % wordsPerValue)
        return std::nullopt;
    const std::uint64_t points = layout.enron ? words.size() / 2 : words.size();
    // A link without the ENRON rules reads an ENRON block a word a point: the quantity tells.
    const auto quantity = d.function == 23 && d.request ? d.writeQuantity : d.quantity;
    if (quantity && *quantity != points)
        return std::nullopt;
    if (first < block->wireStart || first + points > std::uint64_t(block->wireStart) + block->points)
        return std::nullopt;
    if (!layout.enron && (first - block->wireStart) % wordsPerValue)
        return std::nullopt;

    const std::size_t count = words.size() / wordsPerValue;
    const std::size_t n = std::min(count, shown);
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
        if (i)
            text += ' ';
        const std::uint16_t* w = words.data() + i * wordsPerValue;
        switch (layout.kind) {
        case regval::ValueKind::Float32:
        case regval::ValueKind::Long32: {
            const bool lowFirst = layout.lowWordFirst && !layout.enron;
            const std::uint32_t raw = lowFirst ? std::uint32_t(w[1]) << 16 | w[0] : std::uint32_t(w[0]) << 16 | w[1];
            if (layout.kind == regval::ValueKind::Float32)
                AppendFloat(text, std::bit_cast<float>(raw));
            else
                text += std::to_string(static_cast<std::int32_t>(raw));
            break;
        }
        case regval::ValueKind::Float64: {
            std::uint64_t raw = 0;
            for (int k = 0; k < 4; ++k)
                raw |= std::uint64_t(w[k]) << (layout.lowWordFirst ? 16 * k : 16 * (3 - k));
            AppendFloat(text, std::bit_cast<double>(raw));
            break;
        }
        default:
            AppendWordText(text, w[0], block->format);
            break;
        }
    }
    if (count > n)
        text += " … (" + std::to_string(count) + " values)";
    return text;
}

ServingLookup DocumentLookup(const OpenDocuments& documents, std::function<bool()> enronMode, DeviceOfUnit device)
{
    return [&documents, enronMode = std::move(enronMode), device = std::move(device)](
               const pomrel::LinkId& link, int unit, int pointType,
               std::uint32_t wireAddress) -> std::optional<ServedBlock> {
        const std::optional<int> deviceId = device ? device(link, unit) : std::optional<int>(unit);
        if (!deviceId)
            return std::nullopt;
        for (const CKelvaro32Doc* doc : documents) {
            if (doc->deviceId != *deviceId || doc->pointType != pointType)
                continue;
            // As the engine places a block: wire address = start - 1, a stored 0 standing for 65536.
            const std::uint32_t wireStart = doc->StartAddress() - 1;
            if (wireAddress < wireStart || wireAddress >= wireStart + doc->length)
                continue;
            const bool enron = regval::EnronApplies(*doc, enronMode && enronMode());
            ServedBlock block{wireStart, doc->length, kDecimal};
            if (enron)
                block.format = regval::EnronFormat(doc->startAddress);
            else if (!doc->Views().empty())
                block.format = doc->Views().front()->DisplayFormat();
            // An ENRON format left from when the rule applied: the window shows plain words.
            if (regval::LayoutOf(block.format).enron && !enron)
                block.format = kDecimal;
            return block;
        }
        return std::nullopt;
    };
}

std::optional<int> MappedDevice(const std::map<std::uint8_t, std::uint8_t>& units, int unit)
{
    if (units.empty())
        return unit;
    if (unit < 0 || unit > 255)
        return std::nullopt;
    const auto it = units.find(static_cast<std::uint8_t>(unit));
    if (it == units.end())
        return std::nullopt;
    return it->second;
}

bool EndpointOfLink(const pomrel::ServerEndpoint& endpoint, const pomrel::LinkId& link)
{
    using Kind = pomrel::LinkId::Kind;
    using Protocol = pomrel::ServerProtocol;
    const Kind kind = endpoint.protocol == Protocol::Udp          ? Kind::Udp
                      : endpoint.protocol == Protocol::RtuOverTcp ? Kind::RtuOverTcp
                      : endpoint.protocol == Protocol::Tls        ? Kind::Tls
                                                                  : Kind::Tcp;
    return link.kind == kind && link.endpoint == endpoint.number;
}

} // namespace monitor
