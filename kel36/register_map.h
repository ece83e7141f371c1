#pragma once
// The controller's polling sequence as data: one row per polling step, read
// exactly like the protocol's register map.

#include <cstddef>
#include <cstdint>

#include "kel36/kel36.h"

namespace kel36 {

enum class Action : uint8_t {
    None,             // no row for this step: the reply is discarded
    Byte,             // u8 field = D
    Hold,             // low-byte holder = D
    ScaledWord,       // float field = (D * 256 + holder) / 100
    FrequencyWhole,   // frequency whole part = D (written at the next step)
    FrequencyTenths,  // float field = whole part + D / 10
    Float,            // float field = D
    DigitTenths,      // float field = D / 10
    DigitFirst,       // float field = D
    DigitAdd,         // float field += D * factor
    WordHigh,         // u16 field = D * 256
    WordOrLow,        // u16 field |= D
    Battery,          // float field = (D + D) / 10
    FloatWord,        // float field = D * 256 + holder
    SignedWord,       // i16 field = D * 256 + holder
    Last,             // u8 field = D, then the round is complete
};

struct StepRow {
    uint8_t reg;                     // register whose reply this step stores
    Action action;
    uint8_t offset;                  // record field written (unused for Hold)
    uint8_t Kel36::*holder;          // low-byte holder used, if any
    uint32_t factor;                 // digit weight for DigitAdd
    uint8_t next;                    // register requested next, also the next step
};

// Indexed by polling step 0..64; steps 0 and 51 have no row (Action::None).
extern const StepRow kStepTable[Kel36::kRegisterCount];

}  // namespace kel36
