// The Modbus function and exception codes the engine knows: the request handler serves these
// and the RTU decoder knows their request sizes. Named here only, so the two cannot disagree.
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
    Diagnostics = 8,
    WriteMultipleCoils = 15,
    WriteMultipleRegisters = 16,
    ReportSlaveId = 17,
    MaskWriteRegister = 22,
    ReadWriteMultipleRegisters = 23,
};

/// Set in the function code of an exception response.
inline constexpr std::uint8_t kExceptionBit = 0x80;

enum ExceptionCode : std::uint8_t {
    kIllegalFunction = 0x01,
    kIllegalDataAddress = 0x02,
    kIllegalDataValue = 0x03,
};

} // namespace pomrel
