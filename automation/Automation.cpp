#include "automation/Automation.h"

#include "automation/MethodRegistry.h"
#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"
#include "document/RegisterValues.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

using Point = DocumentAutomation::Point;

/// Point type and address of a reference number; nullopt-like: pointType 0 for 20000..29999.
Point PointOfReference(std::int16_t deviceId, std::int64_t reference) {
    Point p;
    p.deviceId = deviceId;   // the whole 16 bits: negative or above 255 matches nothing
    if (reference <= 9999) {
        p.pointType = 1;
        p.address = reference;
    } else if (reference <= 19999) {
        p.pointType = 2;
        p.address = reference - 10000;
    } else if (reference <= 29999) {
        p.pointType = 0;
    } else if (reference <= 39999) {
        p.pointType = 4;
        p.address = reference - 30000;
    } else {
        p.pointType = 3;
        p.address = reference - 40000;
    }
    return p;
}

/// Ex forms: the low 8 bits of id and type; a type outside 1..4 gives pointType 0 (fails).
Point PointOfEx(std::int16_t deviceId, std::int16_t pointType, std::uint16_t address) {
    Point p;
    p.deviceId = static_cast<std::uint16_t>(deviceId) & 0xFF;
    const int type = static_cast<std::uint16_t>(pointType) & 0xFF;
    p.pointType = (type >= 1 && type <= 4) ? type : 0;
    p.address = address;
    return p;
}

Point NextEx(const Point& p) {
    Point next = p;
    next.address = static_cast<std::uint16_t>(p.address + 1);
    return next;
}

/// The point index of `point` in `doc`, or -1 when the document does not hold it.
int IndexIn(const CKelvaro32Doc& doc, const Point& point) {
    if (point.pointType == 0 || point.pointType != doc.pointType || point.deviceId != doc.deviceId)
        return -1;
    const std::int64_t start = doc.StartAddress();
    const std::int64_t length = std::min<std::int64_t>(doc.length, kRegisterWords);
    if (point.address < start || point.address > start + length - 1)
        return -1;
    return static_cast<int>(point.address - start);
}

struct Found {
    CKelvaro32Doc* doc = nullptr;
    int index = -1;
};

Found FindFirst(const OpenDocuments& documents, const Point& point) {
    for (CKelvaro32Doc* doc : documents) {
        const int index = IndexIn(*doc, point);
        if (index >= 0)
            return {doc, index};
    }
    return {};
}

// Word order of the two halves, shared with the display and point editing.
bool LowWordFirst(bool swapped) { return regval::FloatLowWordFirst(swapped ? kFloatSwapped : kFloat); }

}  // namespace

int DocumentAutomation::ReadWord(const Point& point, std::uint16_t& value) const {
    const Found found = FindFirst(documents_, point);
    if (!found.doc)
        return kAutomationFailed;
    value = found.doc->Word(found.index);
    return kAutomationOk;
}

int DocumentAutomation::WriteWord(const Point& point, std::uint16_t value) {
    bool any = false;
    for (CKelvaro32Doc* doc : documents_) {
        const int index = IndexIn(*doc, point);
        if (index < 0)
            continue;
        doc->SetWord(index, value);
        any = true;
    }
    return any ? kAutomationOk : kAutomationFailed;
}

int DocumentAutomation::ReadFloatAt(const Point& first, const Point& second, float& value, bool swapped) const {
    value = 0.0f;
    const Found a = FindFirst(documents_, first);
    if (!a.doc)
        return kAutomationFailed;
    const Found b = FindFirst(documents_, second);
    if (!b.doc)
        return kAutomationFailed;
    const bool lowFirst = LowWordFirst(swapped);
    std::uint32_t bits = 0;
    if (a.doc == b.doc && b.index == a.index + 1) {
        bits = regval::ReadU32(*a.doc, a.index, lowFirst);
    } else {
        // The halves lie in two blocks: no lock spans both, each word is read whole.
        const std::uint32_t w0 = a.doc->Word(a.index);
        const std::uint32_t w1 = b.doc->Word(b.index);
        bits = lowFirst ? (w1 << 16 | w0) : (w0 << 16 | w1);
    }
    value = std::bit_cast<float>(bits);
    return kAutomationOk;
}

int DocumentAutomation::WriteFloatAt(const Point& first, const Point& second, float value, bool swapped) {
    float probe = 0.0f;
    if (ReadFloatAt(first, second, probe, swapped) != kAutomationOk)
        return kAutomationFailed;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const bool lowFirst = LowWordFirst(swapped);
    const auto firstWord = static_cast<std::uint16_t>(lowFirst ? bits : bits >> 16);
    const auto secondWord = static_cast<std::uint16_t>(lowFirst ? bits >> 16 : bits);

    // Where one block holds both halves, write them under its value lock so that a master never
    // reads half a float; the other words go one by one.
    bool anyFirst = false;
    bool anySecond = false;
    for (CKelvaro32Doc* doc : documents_) {
        const int i0 = IndexIn(*doc, first);
        const int i1 = IndexIn(*doc, second);
        if (i0 >= 0 && i1 == i0 + 1) {
            regval::WriteU32(*doc, i0, bits, lowFirst);
        } else {
            if (i0 >= 0) doc->SetWord(i0, firstWord);
            if (i1 >= 0) doc->SetWord(i1, secondWord);
        }
        anyFirst |= i0 >= 0;
        anySecond |= i1 >= 0;
    }
    if (!anyFirst)
        return kAutomationFailed;
    return anySecond ? kAutomationOk : kAutomationFailed;
}

int DocumentAutomation::ReadPoint(std::int16_t deviceId, std::int32_t reference, std::uint16_t& value) const {
    value = 0;
    return ReadWord(PointOfReference(deviceId, reference), value);
}

int DocumentAutomation::WritePoint(std::int16_t deviceId, std::int32_t reference, std::uint16_t value) {
    return WriteWord(PointOfReference(deviceId, reference), value);
}

int DocumentAutomation::ReadFloat(std::int16_t deviceId, std::int32_t reference, float& value, bool swapped) const {
    // The second word goes through the reference table again: 39999 is followed by 40000.
    return ReadFloatAt(PointOfReference(deviceId, reference),
                       PointOfReference(deviceId, static_cast<std::int64_t>(reference) + 1), value, swapped);
}

int DocumentAutomation::WriteFloat(std::int16_t deviceId, std::int32_t reference, float value, bool swapped) {
    return WriteFloatAt(PointOfReference(deviceId, reference),
                        PointOfReference(deviceId, static_cast<std::int64_t>(reference) + 1), value, swapped);
}

int DocumentAutomation::ReadPointEx(std::int16_t deviceId, std::int16_t pointType, std::uint16_t address,
                                    std::uint16_t& value) const {
    value = 0;
    return ReadWord(PointOfEx(deviceId, pointType, address), value);
}

int DocumentAutomation::WritePointEx(std::int16_t deviceId, std::int16_t pointType, std::uint16_t address,
                                     std::uint16_t value) {
    return WriteWord(PointOfEx(deviceId, pointType, address), value);
}

int DocumentAutomation::ReadFloatEx(std::int16_t deviceId, std::int16_t pointType, std::uint16_t address,
                                    float& value, bool swapped) const {
    const Point first = PointOfEx(deviceId, pointType, address);
    return ReadFloatAt(first, NextEx(first), value, swapped);
}

int DocumentAutomation::WriteFloatEx(std::int16_t deviceId, std::int16_t pointType, std::uint16_t address,
                                     float value, bool swapped) {
    const Point first = PointOfEx(deviceId, pointType, address);
    return WriteFloatAt(first, NextEx(first), value, swapped);
}

void DocumentAutomation::EnableSlave(std::int16_t deviceId, bool enable) {
    engine_.ActivateSlaveId(static_cast<std::uint16_t>(deviceId), enable);
}

// ---- The methods in the registry -----------------------------------------------------------------

namespace {

const ParamShape kDeviceId{"device id", "integer -32768..65535"};
const ParamShape kReference{"reference", "integer (32-bit)"};
const ParamShape kPointType{"point type", "integer -32768..65535"};
const ParamShape kAddress{"address", "integer -32768..65535"};
const ParamShape kWordValue{"value", "integer -32768..65535"};
const ParamShape kFloatValue{"value", "number, \"NaN\", \"Infinity\" or \"-Infinity\""};
const ParamShape kSwapped{"swapped", "boolean"};

nlohmann::json Status(int status) { return nlohmann::json{{"status", status}}; }
nlohmann::json Status(int status, std::uint16_t value) { return nlohmann::json{{"status", status}, {"value", value}}; }

/// A float as the shortest decimal that reads back to the same float; JSON has no NaN or
/// infinity, so those travel as the strings JavaScript and Python print for them.
nlohmann::json FloatValue(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    if (ec != std::errc()) return static_cast<double>(value);
    return std::strtod(std::string(text, end).c_str(), nullptr);
}

nlohmann::json Status(int status, float value) { return nlohmann::json{{"status", status}, {"value", FloatValue(value)}}; }

}  // namespace

void RegisterDocumentMethods(MethodRegistry& registry, DocumentAutomation& methods,
                             std::function<void()> createDocument) {
    DocumentAutomation* m = &methods;
    const auto add = [&registry](const char* name, std::vector<ParamShape> params,
                                 std::function<MethodOutcome(ParamReader&)> body) {
        registry.Add({name, "document", std::move(params), [body = std::move(body)](const nlohmann::json& array) {
                          ParamReader p(array);
                          return body(p);
                      }});
    };
    // Every parameter is read before any fault is reported: the first fault names itself.
    const auto invalid = [](const ParamReader& p) { return MethodOutcome::Invalid(p.Error()); };
    add("ReadPoint", {kDeviceId, kReference}, [m, invalid](ParamReader& p) -> MethodOutcome {
        const auto id = p.Short("device id");
        const auto ref = p.Long("reference");
        if (!p.Ok()) return invalid(p);
        std::uint16_t value = 0;
        const int status = m->ReadPoint(id, ref, value);
        return MethodOutcome::Done(Status(status, value));
    });
    add("WritePoint", {kDeviceId, kReference, kWordValue}, [m, invalid](ParamReader& p) -> MethodOutcome {
        const auto id = p.Short("device id");
        const auto ref = p.Long("reference");
        const auto value = p.Word("value");
        if (!p.Ok()) return invalid(p);
        return MethodOutcome::Done(Status(m->WritePoint(id, ref, value)));
    });
    add("EnableSlave", {kDeviceId, {"enable", "boolean"}}, [m, invalid](ParamReader& p) -> MethodOutcome {
        const auto id = p.Short("device id");
        const bool enable = p.Bool("enable");
        if (!p.Ok()) return invalid(p);
        m->EnableSlave(id, enable);
        return MethodOutcome::Done(Status(kAutomationOk));
    });
    add("ReadFloat", {kDeviceId, kReference, kSwapped}, [m, invalid](ParamReader& p) -> MethodOutcome {
        const auto id = p.Short("device id");
        const auto ref = p.Long("reference");
        const bool swapped = p.Bool("swapped");
        if (!p.Ok()) return invalid(p);
        float value = 0.0f;
        const int status = m->ReadFloat(id, ref, value, swapped);
        return MethodOutcome::Done(Status(status, status == kAutomationOk ? value : 0.0f));
    });
    add("WriteFloat", {kDeviceId, kReference, kFloatValue, kSwapped}, [m, invalid](ParamReader& p) -> MethodOutcome {
        const auto id = p.Short("device id");
        const auto ref = p.Long("reference");
        const float value = p.Float("value");
        const bool swapped = p.Bool("swapped");
        if (!p.Ok()) return invalid(p);
        return MethodOutcome::Done(Status(m->WriteFloat(id, ref, value, swapped)));
    });
    add("ReadPointEx", {kDeviceId, kPointType, kAddress}, [m, invalid](ParamReader& p) -> MethodOutcome {
        const auto id = p.Short("device id");
        const auto type = p.Short("point type");
        const auto address = p.Word("address");
        if (!p.Ok()) return invalid(p);
        std::uint16_t value = 0;
        const int status = m->ReadPointEx(id, type, address, value);
        return MethodOutcome::Done(Status(status, value));
    });
    add("WritePointEx", {kDeviceId, kPointType, kAddress, kWordValue}, [m, invalid](ParamReader& p) -> MethodOutcome {
        const auto id = p.Short("device id");
        const auto type = p.Short("point type");
        const auto address = p.Word("address");
        const auto value = p.Word("value");
        if (!p.Ok()) return invalid(p);
        return MethodOutcome::Done(Status(m->WritePointEx(id, type, address, value)));
    });
    add("ReadFloatEx", {kDeviceId, kPointType, kAddress, kSwapped}, [m, invalid](ParamReader& p) -> MethodOutcome {
        const auto id = p.Short("device id");
        const auto type = p.Short("point type");
        const auto address = p.Word("address");
        const bool swapped = p.Bool("swapped");
        if (!p.Ok()) return invalid(p);
        float value = 0.0f;
        const int status = m->ReadFloatEx(id, type, address, value, swapped);
        return MethodOutcome::Done(Status(status, status == kAutomationOk ? value : 0.0f));
    });
    add("WriteFloatEx", {kDeviceId, kPointType, kAddress, kFloatValue, kSwapped},
        [m, invalid](ParamReader& p) -> MethodOutcome {
            const auto id = p.Short("device id");
            const auto type = p.Short("point type");
            const auto address = p.Word("address");
            const float value = p.Float("value");
            const bool swapped = p.Bool("swapped");
            if (!p.Ok()) return invalid(p);
            return MethodOutcome::Done(Status(m->WriteFloatEx(id, type, address, value, swapped)));
        });
    // A new document with its window, as a create request of a client makes.
    add("CreateDocument", {}, [create = std::move(createDocument)](ParamReader&) -> MethodOutcome {
        if (create) create();
        return MethodOutcome::Done(Status(kAutomationOk));
    });
}
