// The register map's arithmetic on the worked examples of docs/protocol.md
// ("Worked examples"). Each example runs as the second round of a device whose
// first round filled every register with 0xEE, so a value that leaks from one
// round into the next (a digit sum or a 16-bit pair that is added to instead
// of assigned) shows.

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "driver_fixture.h"

using namespace polltest;

namespace {

struct WorkedExample {
    const char* field;
    std::vector<std::pair<unsigned, uint8_t>> registers;
    std::size_t offset;
    Kind kind;
    float as_float;  // for float fields
    int as_int;      // for 16-bit fields
};

const WorkedExample kExamples[] = {
    {"uab", {{2, 0x40}, {5, 0x9C}}, 5, Kind::F32, 400.0f, 0},
    {"frequency", {{8, 50}, {9, 3}}, 17, Kind::F32, 50.3f, 0},
    {"digits_r14_r19", {{14, 5}, {15, 4}, {16, 3}, {17, 2}, {18, 1}, {19, 0}}, 37, Kind::F32,
     1234.5f, 0},
    {"digits_r52_r57", {{52, 5}, {53, 4}, {54, 3}, {55, 2}, {56, 1}, {57, 0}}, 82, Kind::F32,
     1234.5f, 0},
    {"battery_voltage", {{29, 120}}, 48, Kind::F32, 24.0f, 0},
    {"pair_r27_r28", {{27, 1}, {28, 2}}, 46, Kind::U16, 0.0f, 258},
    {"pair_r59_r58", {{58, 0x00}, {59, 0xFF}}, 86, Kind::I16, 0.0f, -256},
};

class WorkedExamples : public DriverTest, public ::testing::WithParamInterface<WorkedExample> {};

TEST_P(WorkedExamples, GiveTheValueInTheProtocolDocument)
{
    const WorkedExample& ex = GetParam();
    runRound(device_, filledImage(0xEE));
    RegisterImage image = filledImage(0);
    for (const auto& [reg, value] : ex.registers)
        image[reg] = value;
    runRound(device_, image);

    const auto sends = log_.callsOf("SendSP");
    ASSERT_EQ(sends.size(), 2u);
    const unsigned char* rec = sends[1].bytes.data();
    switch (ex.kind) {
    case Kind::F32:
        EXPECT_EQ(readFloat(rec, ex.offset), ex.as_float) << ex.field;
        break;
    case Kind::U16:
        EXPECT_EQ(readU16(rec, ex.offset), ex.as_int) << ex.field;
        break;
    case Kind::I16:
        EXPECT_EQ(static_cast<int16_t>(readU16(rec, ex.offset)), ex.as_int) << ex.field;
        break;
    default:
        FAIL() << "no worked example of this kind";
    }
}

INSTANTIATE_TEST_SUITE_P(ProtocolDocument, WorkedExamples, ::testing::ValuesIn(kExamples),
                         [](const auto& info) { return std::string(info.param.field); });

using RegisterMap = DriverTest;

TEST_F(RegisterMap, SecondRoundOverwritesEveryFieldOfTheFirst)
{
    // A different image in each round: nothing of round one may survive round two.
    runRound(device_, distinctImage());
    const RegisterImage second = filledImage(0x3B);
    runRound(device_, second);
    const auto sends = log_.callsOf("SendSP");
    ASSERT_EQ(sends.size(), 2u);
    const RecordBytes want = expectedRecord(second, 0);
    for (const FieldSpec& field : recordFields()) {
        if (field.kind == Kind::Time)
            continue;
        EXPECT_EQ(describe(field, sends[1].bytes.data()), describe(field, want.data()))
            << field.name;
    }
}

}  // namespace
