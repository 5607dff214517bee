// The nine automation methods: read and write points of every open document, switch slave ids.
// Plain code; RegisterDocumentMethods puts them in the method registry, whose callers (the
// JSON-RPC server) call them on the user-interface thread.
#pragma once

#include <cstdint>
#include <functional>

class MethodRegistry;
class OpenDocuments;
namespace pomrel { class ProtocolEngine; }

/// Status of every reading and writing method.
inline constexpr int kAutomationOk = 0;
inline constexpr int kAutomationFailed = -1;

class DocumentAutomation {
public:
    DocumentAutomation(OpenDocuments& documents, pomrel::ProtocolEngine& engine)
        : documents_(documents), engine_(engine) {}

    // Reference forms: 1.. coils, 10001.. inputs, 30001.. input registers, 40001.. holding
    // registers; 20000..29999 always fails. Device ids compare as whole 16-bit numbers.
    int ReadPoint(std::int16_t deviceId, std::int32_t reference, std::uint16_t& value) const;
    int WritePoint(std::int16_t deviceId, std::int32_t reference, std::uint16_t value);
    int ReadFloat(std::int16_t deviceId, std::int32_t reference, float& value, bool swapped) const;
    int WriteFloat(std::int16_t deviceId, std::int32_t reference, float value, bool swapped);

    // Ex forms: point type and address given directly; only the low 8 bits of device id and
    // point type count, and the second word of a float is at address + 1 in 16 bits.
    int ReadPointEx(std::int16_t deviceId, std::int16_t pointType, std::uint16_t address, std::uint16_t& value) const;
    int WritePointEx(std::int16_t deviceId, std::int16_t pointType, std::uint16_t address, std::uint16_t value);
    int ReadFloatEx(std::int16_t deviceId, std::int16_t pointType, std::uint16_t address, float& value,
                    bool swapped) const;
    int WriteFloatEx(std::int16_t deviceId, std::int16_t pointType, std::uint16_t address, float value,
                     bool swapped);

    /// Passes the id, as unsigned 16-bit, and the flag to the engine's ActivateSlaveId.
    void EnableSlave(std::int16_t deviceId, bool enable);

    /// A point as the lookup sees it: device id (-1 matches nothing), point type, address.
    struct Point {
        int deviceId = -1;
        int pointType = 0;
        std::int64_t address = 0;
    };

private:
    int ReadWord(const Point& point, std::uint16_t& value) const;
    int WriteWord(const Point& point, std::uint16_t value);
    int ReadFloatAt(const Point& first, const Point& second, float& value, bool swapped) const;
    int WriteFloatAt(const Point& first, const Point& second, float value, bool swapped);

    OpenDocuments& documents_;
    pomrel::ProtocolEngine& engine_;
};

/// Adds the nine methods on `methods` and CreateDocument (which calls `createDocument`, if any) to
/// the registry, as the "document" family. `methods` must outlive the registry's use.
void RegisterDocumentMethods(MethodRegistry& registry, DocumentAutomation& methods,
                             std::function<void()> createDocument);
