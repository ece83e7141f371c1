#include "scenario.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <stdexcept>

#include "number_text.h"

namespace kelsim {
namespace {

// How a measured quantity is spread over registers.
enum class Layout {
    Word,        // count = high register * 256 + low register
    WholeTenth,  // count = whole register * 10 + tenths register (0..9)
    Byte,        // count = one register
};

struct QuantityRow {
    const char* name;
    const char* unit;
    double resolution;  // value of one count
    Layout layout;
    int first;   // high, whole or only register
    int second;  // low or tenths register; unused for Byte
};

// Scaling as the host decodes it: line voltages in hundredths of a volt over a
// register pair, frequency in whole hertz plus tenths, phase voltages in whole
// volts, battery voltage in steps of 0.2 V.
constexpr QuantityRow kQuantities[] = {
    {"uab", "V", 0.01, Layout::Word, 5, 2}, {"ubc", "V", 0.01, Layout::Word, 6, 3},
    {"uca", "V", 0.01, Layout::Word, 7, 4}, {"frequency", "Hz", 0.1, Layout::WholeTenth, 8, 9},
    {"ua", "V", 1.0, Layout::Byte, 10, 0},  {"ub", "V", 1.0, Layout::Byte, 11, 0},
    {"uc", "V", 1.0, Layout::Byte, 12, 0},  {"battery_voltage", "V", 0.2, Layout::Byte, 29, 0},
};

struct AlarmRow {
    const char* name;
    int reg;
    int bit;
};

constexpr AlarmRow kAlarms[] = {
    {"a_5", 34, 5}, {"a_6", 34, 6}, {"a_7", 34, 7}, {"b_2", 35, 2}, {"b_6", 35, 6},
};

long maxCount(Layout layout)
{
    switch (layout) {
        case Layout::Word:
            return 0xFFFF;
        case Layout::WholeTenth:
            return 255 * 10 + 9;
        case Layout::Byte:
            return 0xFF;
    }
    return 0;
}

const QuantityRow* findQuantity(const std::string& name)
{
    for (const auto& row : kQuantities) {
        if (name == row.name)
            return &row;
    }
    return nullptr;
}

double valueOf(const Scenario& s, const QuantityRow& row)
{
    const auto& r = s.registers;
    switch (row.layout) {
        case Layout::Word:
            return (r[row.first] * 256 + r[row.second]) * row.resolution;
        case Layout::WholeTenth:
            return r[row.first] + r[row.second] / 10.0;
        case Layout::Byte:
            return r[row.first] * row.resolution;
    }
    return 0;
}

void writeCount(Scenario& scenario, const QuantityRow& row, long count)
{
    auto& r = scenario.registers;
    switch (row.layout) {
        case Layout::Word:
            r[row.first] = static_cast<uint8_t>(count >> 8);
            r[row.second] = static_cast<uint8_t>(count & 0xFF);
            break;
        case Layout::WholeTenth:
            r[row.first] = static_cast<uint8_t>(count / 10);
            r[row.second] = static_cast<uint8_t>(count % 10);
            break;
        case Layout::Byte:
            r[row.first] = static_cast<uint8_t>(count);
            break;
    }
}

bool alarmActive(const Scenario& s, const char* name)
{
    int reg = 0, bit = 0;
    alarmBit(name, &reg, &bit);
    return (s.registers[reg] >> bit) & 1;
}

}  // namespace

const char* const kQuantityNames[8] = {"uab", "ubc", "uca", "frequency",
                                       "ua",  "ub",  "uc",  "battery_voltage"};
const char* const kAlarmNames[5] = {"a_5", "a_6", "a_7", "b_2", "b_6"};

bool isQuantity(const std::string& name)
{
    return findQuantity(name) != nullptr;
}

bool isAlarm(const std::string& name)
{
    int reg = 0, bit = 0;
    return alarmBit(name, &reg, &bit);
}

int quantityRegisters(const std::string& name, int regs[2])
{
    const QuantityRow* row = findQuantity(name);
    if (!row)
        return 0;
    regs[0] = row->first;
    regs[1] = row->second;
    return row->layout == Layout::Byte ? 1 : 2;
}

const char* quantityUnit(const std::string& name)
{
    const QuantityRow* row = findQuantity(name);
    return row ? row->unit : "";
}

double quantityValue(const Scenario& scenario, const std::string& name)
{
    const QuantityRow* row = findQuantity(name);
    if (!row)
        throw std::invalid_argument("unknown quantity \"" + name + "\"");
    return valueOf(scenario, *row);
}

bool alarmBit(const std::string& name, int* reg, int* bit)
{
    for (const auto& row : kAlarms) {
        if (name == row.name) {
            *reg = row.reg;
            *bit = row.bit;
            return true;
        }
    }
    return false;
}

void setQuantity(Scenario& scenario, const std::string& name, double value)
{
    const QuantityRow* row = findQuantity(name);
    if (!row)
        throw std::invalid_argument("unknown quantity \"" + name + "\"");
    const long max = maxCount(row->layout);
    const double max_value = row->layout == Layout::WholeTenth ? 255.9 : max * row->resolution;
    const std::string out_of_range = formatNumber(value) + " " + row->unit +
                                     " is out of range 0.." + formatNumber(max_value) + " " +
                                     row->unit;
    if (!std::isfinite(value) || value < 0 || value > max_value + row->resolution / 2) {
        throw std::invalid_argument(out_of_range);
    }
    const double exact = value / row->resolution;
    const long count = std::lround(exact);
    // Tolerates binary rounding (27.6 / 0.2 = 137.99999999999997) but not a
    // value the register cannot carry.
    if (std::fabs(exact - static_cast<double>(count)) > 1e-6) {
        throw std::invalid_argument(formatNumber(value) + " " + row->unit +
                                    " is not a multiple of " + formatNumber(row->resolution) + " " +
                                    row->unit);
    }
    if (count > max)
        throw std::invalid_argument(out_of_range);
    writeCount(scenario, *row, count);
}

void setQuantityNearest(Scenario& scenario, const std::string& name, double value)
{
    const QuantityRow* row = findQuantity(name);
    if (!row)
        throw std::invalid_argument("unknown quantity \"" + name + "\"");
    const double exact = std::isfinite(value) ? value / row->resolution : 0.0;
    const double limited =
        std::min(std::max(exact, 0.0), static_cast<double>(maxCount(row->layout)));
    writeCount(scenario, *row, std::lround(limited));
}

void setAlarm(Scenario& scenario, const std::string& name, bool active)
{
    int reg = 0, bit = 0;
    if (!alarmBit(name, &reg, &bit))
        throw std::invalid_argument("unknown alarm \"" + name + "\"");
    const auto mask = static_cast<uint8_t>(1u << bit);
    if (active) {
        scenario.registers[reg] = static_cast<uint8_t>(scenario.registers[reg] | mask);
    } else {
        scenario.registers[reg] = static_cast<uint8_t>(scenario.registers[reg] & ~mask);
    }
}

Quantities quantitiesOf(const Scenario& s)
{
    Quantities q;
    double* const measured[] = {&q.uab, &q.ubc, &q.uca, &q.frequency,
                                &q.ua,  &q.ub,  &q.uc,  &q.battery_voltage};
    for (std::size_t i = 0; i < std::size(kQuantities); ++i)
        *measured[i] = valueOf(s, kQuantities[i]);
    q.a_5 = alarmActive(s, "a_5");
    q.a_6 = alarmActive(s, "a_6");
    q.a_7 = alarmActive(s, "a_7");
    q.b_2 = alarmActive(s, "b_2");
    q.b_6 = alarmActive(s, "b_6");
    return q;
}

}  // namespace kelsim
