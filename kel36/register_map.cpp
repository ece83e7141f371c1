#include "kel36/register_map.h"

namespace kel36 {

#define FIELD(name) static_cast<uint8_t>(offsetof(Kel36_Data_t, name))
#define NO_FIELD 0
#define NO_HOLDER nullptr

// Step 1 stores register 0 (register 1 is never asked for); after step 50 the
// sequence skips register 51. The last column is both the register requested
// next and the next polling step.
const StepRow kStepTable[Kel36::kRegisterCount] = {
    {0, Action::None, NO_FIELD, NO_HOLDER, 0, 0},                           // step 0: no row
    {0, Action::Byte, FIELD(reg0), NO_HOLDER, 0, 2},                        // step 1
    {2, Action::Hold, NO_FIELD, &Kel36::lo_r2_, 0, 3},                      // step 2
    {3, Action::Hold, NO_FIELD, &Kel36::lo_r3_, 0, 4},                      // step 3
    {4, Action::Hold, NO_FIELD, &Kel36::lo_r4_, 0, 5},                      // step 4
    {5, Action::ScaledWord, FIELD(uab), &Kel36::lo_r2_, 0, 6},              // step 5
    {6, Action::ScaledWord, FIELD(ubc), &Kel36::lo_r3_, 0, 7},              // step 6
    {7, Action::ScaledWord, FIELD(uca), &Kel36::lo_r4_, 0, 8},              // step 7
    {8, Action::FrequencyWhole, FIELD(frequency), NO_HOLDER, 0, 9},         // step 8
    {9, Action::FrequencyTenths, FIELD(frequency), NO_HOLDER, 0, 10},       // step 9
    {10, Action::Float, FIELD(ua), NO_HOLDER, 0, 11},                       // step 10
    {11, Action::Float, FIELD(ub), NO_HOLDER, 0, 12},                       // step 11
    {12, Action::Float, FIELD(uc), NO_HOLDER, 0, 13},                       // step 12
    {13, Action::Float, FIELD(reg13), NO_HOLDER, 0, 14},                    // step 13
    {14, Action::DigitTenths, FIELD(digits_r14_r19), NO_HOLDER, 0, 15},     // step 14
    {15, Action::DigitAdd, FIELD(digits_r14_r19), NO_HOLDER, 1, 16},        // step 15
    {16, Action::DigitAdd, FIELD(digits_r14_r19), NO_HOLDER, 10, 17},       // step 16
    {17, Action::DigitAdd, FIELD(digits_r14_r19), NO_HOLDER, 100, 18},      // step 17
    {18, Action::DigitAdd, FIELD(digits_r14_r19), NO_HOLDER, 1000, 19},     // step 18
    {19, Action::DigitAdd, FIELD(digits_r14_r19), NO_HOLDER, 10000, 20},    // step 19
    {20, Action::DigitFirst, FIELD(digits_r20_r25), NO_HOLDER, 0, 21},      // step 20
    {21, Action::DigitAdd, FIELD(digits_r20_r25), NO_HOLDER, 10, 22},       // step 21
    {22, Action::DigitAdd, FIELD(digits_r20_r25), NO_HOLDER, 100, 23},      // step 22
    {23, Action::DigitAdd, FIELD(digits_r20_r25), NO_HOLDER, 1000, 24},     // step 23
    {24, Action::DigitAdd, FIELD(digits_r20_r25), NO_HOLDER, 10000, 25},    // step 24
    {25, Action::DigitAdd, FIELD(digits_r20_r25), NO_HOLDER, 100000, 26},   // step 25
    {26, Action::Byte, FIELD(reg26), NO_HOLDER, 0, 27},                     // step 26
    {27, Action::WordHigh, FIELD(pair_r27_r28), NO_HOLDER, 0, 28},          // step 27
    {28, Action::WordOrLow, FIELD(pair_r27_r28), NO_HOLDER, 0, 29},         // step 28
    {29, Action::Battery, FIELD(battery_voltage), NO_HOLDER, 0, 30},        // step 29
    {30, Action::Float, FIELD(reg30), NO_HOLDER, 0, 31},                    // step 30
    {31, Action::Byte, FIELD(reg31), NO_HOLDER, 0, 32},                     // step 31
    {32, Action::Byte, FIELD(reg32), NO_HOLDER, 0, 33},                     // step 32
    {33, Action::Byte, FIELD(reg33), NO_HOLDER, 0, 34},                     // step 33
    {34, Action::Byte, FIELD(status_a), NO_HOLDER, 0, 35},                  // step 34
    {35, Action::Byte, FIELD(status_b), NO_HOLDER, 0, 36},                  // step 35
    {36, Action::Byte, FIELD(reg36), NO_HOLDER, 0, 37},                     // step 36
    {37, Action::Byte, FIELD(reg37), NO_HOLDER, 0, 38},                     // step 37
    {38, Action::Byte, FIELD(reg38), NO_HOLDER, 0, 39},                     // step 38
    {39, Action::Byte, FIELD(reg39), NO_HOLDER, 0, 40},                     // step 39
    {40, Action::Byte, FIELD(reg40), NO_HOLDER, 0, 41},                     // step 40
    {41, Action::Byte, FIELD(reg41), NO_HOLDER, 0, 42},                     // step 41
    {42, Action::Hold, NO_FIELD, &Kel36::lo_r42_, 0, 43},                   // step 42
    {43, Action::Hold, NO_FIELD, &Kel36::lo_r43_, 0, 44},                   // step 43
    {44, Action::Hold, NO_FIELD, &Kel36::lo_r44_, 0, 45},                   // step 44
    {45, Action::FloatWord, FIELD(pair_r45_r42), &Kel36::lo_r42_, 0, 46},   // step 45
    {46, Action::FloatWord, FIELD(pair_r46_r43), &Kel36::lo_r43_, 0, 47},   // step 46
    {47, Action::FloatWord, FIELD(pair_r47_r44), &Kel36::lo_r44_, 0, 48},   // step 47
    {48, Action::Byte, FIELD(reg48), NO_HOLDER, 0, 49},                     // step 48
    {49, Action::Byte, FIELD(reg49), NO_HOLDER, 0, 50},                     // step 49
    {50, Action::Byte, FIELD(reg50), NO_HOLDER, 0, 52},                     // step 50
    {51, Action::None, NO_FIELD, NO_HOLDER, 0, 0},                          // step 51: no row
    {52, Action::DigitTenths, FIELD(digits_r52_r57), NO_HOLDER, 0, 53},     // step 52
    {53, Action::DigitAdd, FIELD(digits_r52_r57), NO_HOLDER, 1, 54},        // step 53
    {54, Action::DigitAdd, FIELD(digits_r52_r57), NO_HOLDER, 10, 55},       // step 54
    {55, Action::DigitAdd, FIELD(digits_r52_r57), NO_HOLDER, 100, 56},      // step 55
    {56, Action::DigitAdd, FIELD(digits_r52_r57), NO_HOLDER, 1000, 57},     // step 56
    {57, Action::DigitAdd, FIELD(digits_r52_r57), NO_HOLDER, 10000, 58},    // step 57
    {58, Action::Hold, NO_FIELD, &Kel36::lo_r58_, 0, 59},                   // step 58
    {59, Action::SignedWord, FIELD(pair_r59_r58), &Kel36::lo_r58_, 0, 60},  // step 59
    {60, Action::Byte, FIELD(reg60), NO_HOLDER, 0, 61},                     // step 60
    {61, Action::Byte, FIELD(reg61), NO_HOLDER, 0, 62},                     // step 61
    {62, Action::Byte, FIELD(reg62), NO_HOLDER, 0, 63},                     // step 62
    {63, Action::Byte, FIELD(reg63), NO_HOLDER, 0, 64},                     // step 63
    {64, Action::Last, FIELD(reg64), NO_HOLDER, 0, 64},                     // step 64
};

#undef FIELD
#undef NO_FIELD
#undef NO_HOLDER

}  // namespace kel36
