#include "engine/DeviceIdentity.h"

#include "engine/FunctionCodes.h"
#include "engine/Pdu.h"

#include <cstring>

#ifndef KELVARO_VERSION
#define KELVARO_VERSION "1.0"
#endif

namespace pomrel {
namespace {

constexpr std::uint8_t kLastBasic = 0x02;
constexpr std::uint8_t kLastRegular = 0x7F;
constexpr std::uint8_t kFirstReserved = 0x07;
constexpr std::uint8_t kFirstExtended = 0x80;

// Request:  43 | 0x0E | read code | object id
// Answer:   43 | 0x0E | read code | conformity | more follows | next object id | count | objects
// each object: id | length | text
constexpr std::size_t kReadCode = 2;
constexpr std::size_t kObjectId = 3;
constexpr std::size_t kConformity = 3;
constexpr std::size_t kMoreFollows = 4;
constexpr std::size_t kNextObject = 5;
constexpr std::size_t kCount = 6;
constexpr std::size_t kObjects = 7;

enum ReadCode : std::uint8_t { kBasicStream = 1, kRegularStream = 2, kExtendedStream = 3, kOneObject = 4 };

// Individual access is always served, so the level is the highest category held plus 0x80.
std::uint8_t Conformity(const DeviceIdentities::Objects& objects)
{
    const std::uint8_t highest = objects.rbegin()->first;
    return highest >= kFirstExtended ? 0x83 : highest > kLastBasic ? 0x82 : 0x81;
}

} // namespace

DeviceIdentities::Objects DeviceIdentities::Defaults()
{
    return {{0x00, "Kelvaro"}, {0x01, "Kelvaro64"}, {0x02, KELVARO_VERSION}};
}

void DeviceIdentities::Set(std::uint8_t device, Objects objects)
{
    Objects merged = Defaults();
    for (auto& [id, text] : objects) {
        if (id >= kFirstReserved && id < kFirstExtended)
            continue;
        if (text.size() > kMaxText)
            text.resize(kMaxText);
        merged[id] = std::move(text);
    }
    std::lock_guard lock(mutex_);
    devices_[device] = std::move(merged);
}

void DeviceIdentities::Clear()
{
    std::lock_guard lock(mutex_);
    devices_.clear();
}

bool DeviceIdentities::Has(std::uint8_t device) const
{
    std::lock_guard lock(mutex_);
    return devices_.contains(device);
}

std::size_t DeviceIdentities::Serve(std::uint8_t device, const std::uint8_t* request, std::size_t size,
                                    std::uint8_t* response) const
{
    const std::uint8_t fc = request[0];
    auto exception = [&](std::uint8_t code) -> std::size_t {
        response[0] = static_cast<std::uint8_t>(fc | kExceptionBit);
        response[1] = code;
        return 2;
    };
    if (size < 2)
        return exception(kIllegalDataValue);
    if (request[1] != kMeiDeviceIdentification)  // CANopen and the rest: not here
        return exception(kIllegalFunction);
    if (size != 4)
        return exception(kIllegalDataValue);
    const std::uint8_t code = request[kReadCode];
    std::uint8_t first = request[kObjectId];
    if (code < kBasicStream || code > kOneObject)
        return exception(kIllegalDataValue);

    std::lock_guard lock(mutex_);
    const auto found = devices_.find(device);
    const Objects& objects = found != devices_.end() ? found->second : defaults_;
    response[0] = fc;
    response[1] = kMeiDeviceIdentification;
    response[kReadCode] = code;
    response[kConformity] = Conformity(objects);
    response[kMoreFollows] = 0x00;
    response[kNextObject] = 0x00;
    response[kCount] = 0;
    std::size_t at = kObjects;
    auto put = [&](const Objects::value_type& object) {
        response[at] = object.first;
        response[at + 1] = static_cast<std::uint8_t>(object.second.size());
        std::memcpy(response + at + 2, object.second.data(), object.second.size());
        at += 2 + object.second.size();
        ++response[kCount];
    };
    if (code == kOneObject) {
        const auto object = objects.find(first);
        if (object == objects.end())
            return exception(kIllegalDataAddress);
        put(*object);
        return at;
    }
    // Each stream holds the categories below it too. A start the stream does not hold begins
    // again at object 0.
    const std::uint8_t last = code == kBasicStream ? kLastBasic : code == kRegularStream ? kLastRegular : 0xFF;
    if (first > last || !objects.contains(first))
        first = 0;
    for (auto object = objects.find(first); object != objects.end() && object->first <= last; ++object) {
        if (at + 2 + object->second.size() > kMaxPdu) {
            response[kMoreFollows] = 0xFF;
            response[kNextObject] = object->first;
            break;
        }
        put(*object);
    }
    return at;
}

} // namespace pomrel
