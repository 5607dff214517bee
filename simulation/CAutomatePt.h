// One point that changes by itself. Plain data; the simulation engine steps it and the
// document file stores it.
#pragma once

#include <cstdint>

/// How a simulated point's register words form its value.
enum ValueType : std::int32_t {
    kValueBit = 0,
    kValueWord = 1,
    kValueFloatLowFirst = 2,
    kValueFloatHighFirst = 3,
    kValueDoubleLowFirst = 4,
    kValueDoubleHighFirst = 5,
    kValueLongLowFirst = 6,
    kValueLongHighFirst = 7,
    kValueEnronFloat = 9,
    kValueEnronLong = 10,
};

/// Registers: 0 Random, 1 Increment, 2 Decrement. Coils: 0 Random, 1 Toggle.
enum SimulationType : std::int32_t {
    kSimRandom = 0,
    kSimIncrement = 1,
    kSimDecrement = 2,
    kSimToggle = 1,
};

struct CAutomatePt {
    std::int32_t pointIndex = 0;      // first register of the value in the register memory
    std::int32_t tickCounter = 0;     // seconds since the last change; never stored
    std::int32_t interval = 1;        // change interval in seconds
    std::int32_t valueType = kValueWord;
    std::int32_t simulationType = kSimIncrement;
    float step = 1.0f;
    float lowLimit = 0.0f;
    float highLimit = 0.0f;
};
