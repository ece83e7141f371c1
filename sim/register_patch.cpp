#include "register_patch.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "scenario.h"

namespace kelsim {

void RegisterPatch::setQuantity(const std::string& name, double v)
{
    Scenario written;
    kelsim::setQuantity(written, name, v);  // validates before anything changes
    int regs[2];
    const int count = quantityRegisters(name, regs);
    for (int i = 0; i < count; ++i) {
        mask[regs[i]] = 0xFF;
        value[regs[i]] = written.registers[regs[i]];
    }
}

void RegisterPatch::setAlarm(const std::string& name, bool active)
{
    int reg = 0, bit = 0;
    if (!alarmBit(name, &reg, &bit))
        throw std::invalid_argument("unknown alarm \"" + name + "\"");
    const auto m = static_cast<uint8_t>(1u << bit);
    mask[reg] = static_cast<uint8_t>(mask[reg] | m);
    value[reg] = static_cast<uint8_t>(active ? value[reg] | m : value[reg] & ~m);
}

void RegisterPatch::setRegister(int reg, uint8_t v)
{
    if (reg < 0 || reg >= kRegisterCount)
        throw std::invalid_argument("register number must be 0..64");
    mask[reg] = 0xFF;
    value[reg] = v;
}

bool RegisterPatch::release(const std::string& name)
{
    int regs[2];
    const int count = quantityRegisters(name, regs);
    for (int i = 0; i < count; ++i)
        mask[regs[i]] = value[regs[i]] = 0;
    int reg = 0, bit = 0;
    if (alarmBit(name, &reg, &bit)) {
        const auto keep = static_cast<uint8_t>(~(1u << bit));
        mask[reg] = static_cast<uint8_t>(mask[reg] & keep);
        value[reg] = static_cast<uint8_t>(value[reg] & keep);
        return true;
    }
    const int raw = registerFromName(name);
    if (raw >= 0)
        mask[raw] = value[raw] = 0;
    return count > 0 || raw >= 0;
}

void RegisterPatch::apply(Scenario& image) const
{
    for (int r = 0; r < kRegisterCount; ++r)
        image.registers[r] =
            static_cast<uint8_t>((image.registers[r] & ~mask[r]) | (value[r] & mask[r]));
}

bool RegisterPatch::empty() const
{
    for (uint8_t m : mask) {
        if (m)
            return false;
    }
    return true;
}

std::vector<std::string> RegisterPatch::names() const
{
    uint8_t left[kRegisterCount];
    std::copy(std::begin(mask), std::end(mask), left);
    std::vector<std::string> out;
    for (const char* name : kQuantityNames) {
        int regs[2];
        const int count = quantityRegisters(name, regs);
        bool whole = true;
        for (int i = 0; i < count; ++i)
            whole = whole && left[regs[i]] == 0xFF;
        if (!whole)
            continue;
        out.push_back(name);
        for (int i = 0; i < count; ++i)
            left[regs[i]] = 0;
    }
    for (const char* name : kAlarmNames) {
        int reg = 0, bit = 0;
        alarmBit(name, &reg, &bit);
        if (left[reg] == 0xFF || !(left[reg] & (1u << bit)))
            continue;  // a whole raw register is named as such
        out.push_back(name);
        left[reg] = static_cast<uint8_t>(left[reg] & ~(1u << bit));
    }
    for (int r = 0; r < kRegisterCount; ++r) {
        if (left[r])
            out.push_back("reg" + std::to_string(r));
    }
    return out;
}

int registerNumber(const std::string& digits)
{
    if (digits.empty() || digits.size() > 2 || (digits.size() == 2 && digits[0] == '0'))
        return -1;
    int number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        number = number * 10 + (c - '0');
    }
    return number < kRegisterCount ? number : -1;
}

int registerFromName(const std::string& name)
{
    return name.rfind("reg", 0) == 0 ? registerNumber(name.substr(3)) : -1;
}

}  // namespace kelsim
