// The host calls plug-in devices and providers through their tables of virtual
// operations, so the slot of every operation is binary contract. A pointer to a
// virtual member function carries its byte offset in the table (Itanium C++
// ABI), which pins each slot without running anything.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <stdexcept>
#include <type_traits>

#include <gtest/gtest.h>

#include "framework/provider.h"
#include "framework/vdevice_interface.h"
#include "framework/zrn_spdevice.h"
#include "framework/zrn_vdevice.h"
#include "kel36/kel36.h"
#include "plugin/kel36_provider.h"
#include "tests/foundation/host_fixture.h"

namespace {

struct MemberFunctionRep {
    std::uintptr_t ptr;
    std::ptrdiff_t adj;
};

constexpr std::ptrdiff_t kNotVirtual = -1;

// Byte offset of a virtual member function in its class's table, or kNotVirtual.
template <typename MemberFn>
std::ptrdiff_t vtableOffset(MemberFn fn)
{
    static_assert(sizeof(MemberFn) == sizeof(MemberFunctionRep), "Itanium member pointer");
    MemberFunctionRep rep;
    std::memcpy(&rep, &fn, sizeof rep);
#if defined(__arm__) || defined(__aarch64__)
    // ARM's variant keeps the virtual flag in adj and the plain offset in ptr.
    if ((rep.adj & 1) == 0)
        return kNotVirtual;
    return static_cast<std::ptrdiff_t>(rep.ptr);
#else
    if ((rep.ptr & 1) == 0)
        return kNotVirtual;
    return static_cast<std::ptrdiff_t>(rep.ptr - 1);
#endif
}

constexpr std::ptrdiff_t slotOffset(int slot)
{
    return slot * static_cast<int>(sizeof(void*));
}

using Kel36Base = UniDataDevice<Kel36_Data_t, ZRNSPDevice, 5058>;

struct SlotRow {
    const char* name;
    int slot;
    std::ptrdiff_t declared;  // through the framework class that declares it
    std::ptrdiff_t driver;    // through Kel36, as the host's object really is
};

// The explicit types pick the overload; the row reads the slot through the
// declaring framework class and through Kel36.
template <typename Decl, typename Function>
SlotRow slotRow(const char* name, int slot, Function Decl::*declared, Function Kel36::*driver)
{
    return SlotRow{name, slot, vtableOffset(declared), vtableOffset(driver)};
}

#define SLOT(slot, decl, fn, ...) \
    slotRow<decl, __VA_ARGS__>(#fn "(" #__VA_ARGS__ ")", slot, &decl::fn, &Kel36::fn)

// Slots 8 and 9 are the complete and deleting destructors of ZRNVDevice.
const SlotRow kDeviceSlots[] = {
    SLOT(0, VDeviceInterface, Get_Value, float(unsigned int, const std::string&) const),
    SLOT(1, VDeviceInterface, LoadFromCache, int(const std::string&)),
    SLOT(2, VDeviceInterface, LoadFromCache, int(const unsigned char*, int)),
    SLOT(3, VDeviceInterface, DataId, unsigned int() const),
    SLOT(4, VDeviceInterface, DeviceType, const std::string&() const),
    SLOT(5, VDeviceInterface, DeviceIoControl, int(int, const void*, int, void*, int, int&)),
    SLOT(6, VDeviceInterface, RoundDone, void()),
    SLOT(7, VDeviceInterface, UseControllerDb, bool()),
    SLOT(10, ZRNVDevice, Reset, void()),
    SLOT(11, ZRNVDevice, InitV, int(ZRNVDevice*, unsigned int, const Json::Value&)),
    SLOT(12, ZRNVDevice, Init, int(std::weak_ptr<ZRNController>, unsigned int, const Json::Value&)),
    SLOT(13, ZRNVDevice, InitSetting, int(const Json::Value&)),
    SLOT(14, ZRNVDevice, IsSupportDevice, bool(const std::string&) const),
    SLOT(15, ZRNVDevice, GetChildVDevice, std::shared_ptr<ZRNVDevice>(unsigned int)),
    SLOT(16, ZRNVDevice, GetAllChildVDevices, std::vector<std::shared_ptr<ZRNVDevice>>()),
    SLOT(17, ZRNVDevice, SendSP, int(int, const unsigned char*, unsigned int, bool)),
    SLOT(18, ZRNVDevice, SendDelayData, int(int)),
    SLOT(19, ZRNVDevice, SendDoData, int(int, char)),
    SLOT(20, ZRNVDevice, ReadDi, int(int)),
    SLOT(21, ZRNVDevice, ReadAi, float(int)),
    SLOT(22, ZRNVDevice, Get_SP_Value, float(unsigned int, const std::string&)),
    SLOT(23, ZRNVDevice, RefreshStatus, int()),
    SLOT(24, ZRNVDevice, process, int(unsigned char*, unsigned int)),
    SLOT(25, ZRNVDevice, IsProcessing, bool()),
    SLOT(26, ZRNVDevice, IsStalled, bool()),
    SLOT(27, ZRNVDevice, SendData, int(const unsigned char*, unsigned int)),
    SLOT(28, ZRNVDevice, SendParityData, int(const unsigned char*, unsigned int, EnumParity)),
    SLOT(29, ZRNVDevice, OpenPort, int()),
    SLOT(30, ZRNVDevice, ClosePort, void()),
    SLOT(31, Kel36Base, RunCheckThreshold, void()),
};

#undef SLOT

TEST(DeviceVtableLayout, EveryOperationSitsInItsSlot)
{
    for (const SlotRow& row : kDeviceSlots) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.declared, slotOffset(row.slot));
        EXPECT_EQ(row.driver, slotOffset(row.slot));
    }
}

TEST(DeviceVtableLayout, SerialDeviceOverridesKeepTheirSlots)
{
    EXPECT_EQ(vtableOffset(&ZRNSPDevice::Reset), slotOffset(10));
    EXPECT_EQ(vtableOffset(&ZRNSPDevice::RefreshStatus), slotOffset(23));
    EXPECT_EQ(vtableOffset(&ZRNSPDevice::process), slotOffset(24));
    EXPECT_EQ(vtableOffset(&ZRNSPDevice::ClosePort), slotOffset(30));
}

TEST(DeviceVtableLayout, DestructorIsFirstDeclaredByZRNVDeviceBetweenSlots7And10)
{
    EXPECT_FALSE(std::has_virtual_destructor<VDeviceInterface>::value);
    EXPECT_TRUE(std::has_virtual_destructor<ZRNVDevice>::value);
    EXPECT_TRUE(std::has_virtual_destructor<Kel36>::value);
    // Two destructor entries and nothing else between UseControllerDb and Reset.
    EXPECT_EQ(vtableOffset(&ZRNVDevice::Reset) - vtableOffset(&VDeviceInterface::UseControllerDb),
              slotOffset(3));
    // The interface sits at offset 0 of the device, so one table serves both.
    Kel36 device;
    EXPECT_EQ(static_cast<void*>(static_cast<VDeviceInterface*>(&device)),
              static_cast<void*>(static_cast<ZRNVDevice*>(&device)));
}

TEST(ProviderVtableLayout, DestructorThenCreate)
{
    EXPECT_TRUE(std::has_virtual_destructor<Provider>::value);
    EXPECT_TRUE(std::is_abstract<ZRNSPDeviceProvider>::value);
    // No data members: the table pointer is the whole object.
    EXPECT_EQ(sizeof(Provider), sizeof(void*));
    EXPECT_EQ(sizeof(Kel36Provider), sizeof(void*));
    EXPECT_EQ(vtableOffset(&ZRNSPDeviceProvider::create), slotOffset(2));
    EXPECT_EQ(vtableOffset(&Kel36Provider::create), slotOffset(2));
}

// Inline defaults the plug-in carries for the framework.
class InlineDefaults : public foundation::HostCallTest {
protected:
    Kel36 device_;
    VDeviceInterface& iface_ = device_;
    ZRNVDevice& vdev_ = device_;
};

TEST_F(InlineDefaults, DeviceIoControlRefusesAndWritesNothing)
{
    unsigned char out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    const char in[3] = {1, 2, 3};
    for (int code : {0, 1, -1, 0x7FFFFFFF}) {
        int written = -77;
        EXPECT_EQ(iface_.DeviceIoControl(code, in, 3, out, 4, written), -2);
        EXPECT_EQ(written, -77);
    }
    int written = 12345;
    EXPECT_EQ(iface_.DeviceIoControl(5, nullptr, 0, nullptr, 0, written), -2);
    EXPECT_EQ(written, 12345);
    for (unsigned char b : out)
        EXPECT_EQ(b, 0xAA);
}

TEST_F(InlineDefaults, EmptyCachedStringIsForwardedAsLengthZeroAndRefused)
{
    EXPECT_EQ(iface_.LoadFromCache(std::string()), 0);
    EXPECT_FALSE(device_.data_valid_);
    EXPECT_TRUE(log_.calls().empty());
}

TEST_F(InlineDefaults, NoChildDevicesForAnyIndex)
{
    for (unsigned index : {0u, 1u, 64u, 0xFFFFFFFFu})
        EXPECT_EQ(vdev_.GetChildVDevice(index), nullptr) << index;
    EXPECT_TRUE(vdev_.GetAllChildVDevices().empty());
}

TEST_F(InlineDefaults, AccessorsReturnTheMembers)
{
    device_.data_id_ = 0xCAFEF00Du;
    device_.use_controller_db_ = true;
    EXPECT_EQ(iface_.DataId(), 0xCAFEF00Du);
    EXPECT_EQ(&iface_.DeviceType(), &device_.device_type_);
    EXPECT_TRUE(iface_.UseControllerDb());
    device_.use_controller_db_ = false;
    EXPECT_FALSE(iface_.UseControllerDb());
}

TEST_F(InlineDefaults, InterfaceRoundDoneDoesNothing)
{
    device_.VDeviceInterface::RoundDone();
    EXPECT_TRUE(log_.calls().empty());
    EXPECT_FALSE(device_.data_valid_);
}

TEST_F(InlineDefaults, GetValueOfADriverWithoutItsOwnSaysDataNotReady)
{
    class NoLookupDevice : public Kel36Base {};
    NoLookupDevice device;
    device.data_valid_ = true;  // the default answers the same whatever the state
    const VDeviceInterface& iface = device;
    try {
        iface.Get_Value(0, "ua");
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "数据未就绪");
    }
}

}  // namespace
