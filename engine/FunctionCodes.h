// The Modbus function and exception codes the engine knows: the request handler serves these
// and the RTU decoder knows their request sizes. Named here only, so the two cannot disagree.
// ServeRequest (Pdu.cpp) answers from the registers; AnswerRequest (RequestAnswer.cpp) answers
// what belongs to the link or the device as a whole: 7, 8 (but its echo), 11, 12 and 43.
#pragma once

#include <cstdint>

namespace pomrel {

enum class FunctionCode : std::uint8_t {
    ReadCoils = 1,
    ReadDiscreteInputs = 2,
    ReadHoldingRegisters = 3,
    ReadInputRegisters = 4,
    WriteSingleCoil = 5,
    WriteSingleRegister = 6,
    ReadExceptionStatus = 7,
    Diagnostics = 8,
    GetCommEventCounter = 11,
    GetCommEventLog = 12,
    WriteMultipleCoils = 15,
    WriteMultipleRegisters = 16,
    ReportSlaveId = 17,
    MaskWriteRegister = 22,
    ReadWriteMultipleRegisters = 23,
    ReadFifoQueue = 24,
    EncapsulatedInterface = 43,  // MEI; only type kMeiDeviceIdentification is served
};

/// The MEI type of Read Device Identification (function 43).
inline constexpr std::uint8_t kMeiDeviceIdentification = 0x0E;

/// The sub-functions of Diagnostics (8) that are served.
enum class DiagnosticsCode : std::uint16_t {
    ReturnQueryData = 0,
    RestartCommunications = 1,
    ReturnDiagnosticRegister = 2,
    ForceListenOnly = 4,
    ClearCounters = 10,
    BusMessageCount = 11,
    BusCommunicationErrorCount = 12,
    BusExceptionErrorCount = 13,
    ServerMessageCount = 14,
    ServerNoResponseCount = 15,
    ServerNakCount = 16,
    ServerBusyCount = 17,
    BusCharacterOverrunCount = 18,
};

/// Set in the function code of an exception response.
inline constexpr std::uint8_t kExceptionBit = 0x80;

enum ExceptionCode : std::uint8_t {
    kIllegalFunction = 0x01,
    kIllegalDataAddress = 0x02,
    kIllegalDataValue = 0x03,
    kServerDeviceFailure = 0x04,
    kAcknowledge = 0x05,
    kServerDeviceBusy = 0x06,
    kNegativeAcknowledge = 0x07,
};

} // namespace pomrel
