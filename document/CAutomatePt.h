// One point that changes by itself. Plain data; the simulation engine steps it and the
// document file stores it.
#pragma once

#include "document/RegisterValues.h"

#include <cstdint>

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
