// What the plug-in relies on in the host framework's declarations, checked by
// the compiler against whichever headers kel36.so is built with: ours
// (framework/) or a monitoring unit's own (KEL36_FRAMEWORK_INCLUDE_DIR). Member
// offsets and table slots come from those headers, so they are right by
// construction; what would still go wrong in silence is a member or operation
// of another type than the driver's code assumes (a signed step, a smaller
// receive buffer, a check sequence of another width). Every check fails with
// one message that names the member or operation. No code is generated here.
//
// Members and operations are looked up from a class derived from the
// framework's, as the driver reaches them: protected ones pass, private ones
// fail. That the driver's overrides really override is checked where they are
// declared (override); results the plug-in ignores are left open.

#include <cstddef>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>
#include <json/value.h>

#include "framework.h"

namespace framework_contract {

template <typename Pointer>
struct MemberOf;  // T of a pointer to member T C::*
template <typename T, typename C>
struct MemberOf<T C::*> {
    using type = T;
};

// Member types.
template <typename Type>
struct Is {
    template <typename T>
    using Same = std::is_same<T, Type>;
};
template <std::size_t Bytes>
struct Unsigned {
    template <typename T>
    using Test = std::bool_constant<std::is_integral<T>::value && std::is_unsigned<T>::value &&
                                    !std::is_same<T, bool>::value && sizeof(T) == Bytes>;
};
template <typename T>
using Integer32 = std::bool_constant<std::is_integral<T>::value && !std::is_same<T, bool>::value &&
                                     sizeof(T) == 4>;
template <typename T, typename Element = std::remove_extent_t<T>>
using ByteArrayOf4 = std::bool_constant<std::rank<T>::value == 1 && std::extent<T>::value >= 4 &&
                                        (std::is_same<Element, unsigned char>::value ||
                                         std::is_same<Element, char>::value ||
                                         std::is_same<Element, signed char>::value)>;

using Names = std::vector<std::string>;
using Rules = std::vector<rule_value>;
using FloatMap = std::map<std::string, float>;
using IntMap = std::map<std::string, int>;

// Results the plug-in does not fix: any type, or any that can be tested as a
// condition.
struct AnyResult {};
struct TruthResult {};

// Picks the overload with exactly this parameter list (and result, unless a
// marker) out of an operation's overload set, as taking the address of an
// overloaded member does; when none fits, deduction fails and the check reads
// false instead of stopping the compiler.
template <typename Signature>
struct Select;
template <typename R, typename... A>
struct Select<R(A...)> {
    template <typename C>
    static void from(R (C::*)(A...));
};
template <typename R, typename... A>
struct Select<R(A...) const> {
    template <typename C>
    static void from(R (C::*)(A...) const);
};
template <typename... A>
struct Select<AnyResult(A...)> {
    template <typename C, typename R>
    static void from(R (C::*)(A...));
};
template <typename... A>
struct Select<TruthResult(A...)> {
    template <typename C, typename R,
              typename = std::enable_if_t<std::is_constructible<bool, R>::value>>
    static void from(R (C::*)(A...));
};

// Defines, inside a view class, has_<name>(): the member exists, the view can
// reach it, and its type passes the test.
#define KEL36_CONTRACT_MEMBER(name, Test)                     \
    template <typename V, typename = void>                    \
    struct name##Check : std::false_type {                    \
    };                                                        \
    template <typename V>                                     \
    struct name##Check<V, std::void_t<decltype(&V::name)>>    \
        : Test<typename MemberOf<decltype(&V::name)>::type> { \
    };                                                        \
    static constexpr bool has_##name()                        \
    {                                                         \
        return name##Check<Self>::value;                      \
    }

// Defines, inside a view class, has_<name><Signature>(): an operation of that
// name with that signature exists and the view can reach it.
#define KEL36_CONTRACT_OPERATION(name)                                                         \
    template <typename V, typename Signature, typename = void>                                 \
    struct name##Check : std::false_type {                                                     \
    };                                                                                         \
    template <typename V, typename Signature>                                                  \
    struct name##Check<V, Signature, std::void_t<decltype(Select<Signature>::from(&V::name))>> \
        : std::true_type {                                                                     \
    };                                                                                         \
    template <typename Signature>                                                              \
    static constexpr bool has_##name()                                                         \
    {                                                                                          \
        return name##Check<Self, Signature>::value;                                            \
    }

struct DeviceView : ZRNSPDevice {
    using Self = DeviceView;

    KEL36_CONTRACT_MEMBER(data_id_, Unsigned<4>::Test)
    KEL36_CONTRACT_MEMBER(device_type_, Is<std::string>::Same)
    KEL36_CONTRACT_MEMBER(use_controller_db_, Is<bool>::Same)
    KEL36_CONTRACT_MEMBER(check_seq_, Unsigned<2>::Test)
    KEL36_CONTRACT_MEMBER(last_time_, Is<boost::posix_time::ptime>::Same)
    KEL36_CONTRACT_MEMBER(data_valid_, Is<bool>::Same)
    KEL36_CONTRACT_MEMBER(rule_values_, Is<Rules>::Same)
    KEL36_CONTRACT_MEMBER(report_flag_, Is<bool>::Same)
    KEL36_CONTRACT_MEMBER(ao_names_, Is<Names>::Same)
    KEL36_CONTRACT_MEMBER(ao_values_, Is<FloatMap>::Same)
    KEL36_CONTRACT_MEMBER(threshold_levels_, Is<IntMap>::Same)
    KEL36_CONTRACT_MEMBER(threshold_values_, Is<FloatMap>::Same)
    KEL36_CONTRACT_MEMBER(poll_step_, Unsigned<4>::Test)
    KEL36_CONTRACT_MEMBER(rx_buf_, ByteArrayOf4)
    KEL36_CONTRACT_MEMBER(rx_len_, Unsigned<4>::Test)
    KEL36_CONTRACT_MEMBER(baud_rate_, Integer32)
    KEL36_CONTRACT_MEMBER(port_setting_, Integer32)

    KEL36_CONTRACT_OPERATION(Get_Value)
    KEL36_CONTRACT_OPERATION(LoadFromCache)
    KEL36_CONTRACT_OPERATION(DataId)
    KEL36_CONTRACT_OPERATION(RoundDone)
    KEL36_CONTRACT_OPERATION(Reset)
    KEL36_CONTRACT_OPERATION(InitSetting)
    KEL36_CONTRACT_OPERATION(RefreshStatus)
    KEL36_CONTRACT_OPERATION(process)
    KEL36_CONTRACT_OPERATION(SendSP)
    KEL36_CONTRACT_OPERATION(SendData)
    KEL36_CONTRACT_OPERATION(CheckAOReport)
    KEL36_CONTRACT_OPERATION(CheckThreshold)
    KEL36_CONTRACT_OPERATION(CheckThresholdBool)
    KEL36_CONTRACT_OPERATION(DoBatchCheckThreshold)
    KEL36_CONTRACT_OPERATION(SaveDeviceHistory)
};

// The host calls the text overload through the interface; the serial device
// may hide it behind its own byte overload.
struct InterfaceView : VDeviceInterface {
    using Self = InterfaceView;
    KEL36_CONTRACT_OPERATION(LoadFromCache)
};

// create() may be declared returning any device base the host destroys
// devices through; the driver's override returns the driver itself.
template <typename Pointer>
using DevicePointer =
    std::bool_constant<std::is_pointer<Pointer>::value &&
                       std::is_base_of<std::remove_pointer_t<Pointer>, ZRNSPDevice>::value &&
                       std::has_virtual_destructor<std::remove_pointer_t<Pointer>>::value>;
struct Creates {
    template <typename C, typename R, typename = std::enable_if_t<DevicePointer<R>::value>>
    static void from(R (C::*)() const);
};
template <typename V, typename = void>
struct CreateCheck : std::false_type {
};
template <typename V>
struct CreateCheck<V, std::void_t<decltype(Creates::from(&V::create))>> : std::true_type {
};

#undef KEL36_CONTRACT_MEMBER
#undef KEL36_CONTRACT_OPERATION

// get_ttime(ptime): a time value of 7 bytes that can be copied byte for byte.
template <typename Time, typename = void>
struct TimeValueCheck : std::false_type {
};
template <typename Time>
struct TimeValueCheck<Time, std::void_t<decltype(get_ttime(std::declval<Time>()))>> {
    using Value = std::decay_t<decltype(get_ttime(std::declval<Time>()))>;
    static constexpr bool value = sizeof(Value) == 7 && std::is_trivially_copyable<Value>::value;
};

using D = DeviceView;
using ptime = boost::posix_time::ptime;

// Classes.
static_assert(std::is_base_of<VDeviceInterface, ZRNVDevice>::value &&
                  std::is_base_of<ZRNVDevice, ZRNSPDevice>::value,
              "framework contract: ZRNSPDevice derives from ZRNVDevice, which derives from "
              "VDeviceInterface");
static_assert(std::has_virtual_destructor<ZRNVDevice>::value,
              "framework contract: ZRNVDevice has a virtual destructor (the host destroys "
              "devices through it)");
static_assert(std::has_virtual_destructor<Provider>::value,
              "framework contract: Provider has a virtual destructor");
static_assert(std::is_base_of<Provider, ZRNSPDeviceProvider>::value &&
                  std::is_abstract<ZRNSPDeviceProvider>::value,
              "framework contract: ZRNSPDeviceProvider derives from Provider and is abstract");
static_assert(CreateCheck<ZRNSPDeviceProvider>::value,
              "framework contract: ZRNSPDeviceProvider::create() const returns a pointer to "
              "ZRNVDevice or ZRNSPDevice");
static_assert(std::is_enum<EnumParity>::value, "framework contract: EnumParity is an enum");
static_assert(TimeValueCheck<ptime>::value,
              "framework contract: get_ttime(boost::posix_time::ptime) returns a trivially "
              "copyable value of exactly 7 bytes");

// Members.
static_assert(D::has_data_id_(),
              "framework contract: the device needs a member data_id_, an unsigned 32-bit integer "
              "(public or protected)");
static_assert(D::has_device_type_(),
              "framework contract: the device needs a member device_type_, a std::string (public "
              "or protected)");
static_assert(D::has_use_controller_db_(),
              "framework contract: the device needs a member use_controller_db_, a bool (public or "
              "protected)");
static_assert(D::has_check_seq_(),
              "framework contract: the device needs a member check_seq_, an unsigned 16-bit "
              "integer (public or protected)");
static_assert(D::has_last_time_(),
              "framework contract: the device needs a member last_time_, a "
              "boost::posix_time::ptime (public or protected)");
static_assert(
    D::has_data_valid_(),
    "framework contract: the device needs a member data_valid_, a bool (public or protected)");
static_assert(D::has_rule_values_(),
              "framework contract: the device needs a member rule_values_, a "
              "std::vector<rule_value> (public or protected)");
static_assert(
    D::has_report_flag_(),
    "framework contract: the device needs a member report_flag_, a bool (public or protected)");
static_assert(D::has_ao_names_(),
              "framework contract: the device needs a member ao_names_, a std::vector<std::string> "
              "(public or protected)");
static_assert(D::has_ao_values_(),
              "framework contract: the device needs a member ao_values_, a std::map<std::string, "
              "float> (public or protected)");
static_assert(D::has_threshold_levels_(),
              "framework contract: the device needs a member threshold_levels_, a "
              "std::map<std::string, int> (public or protected)");
static_assert(D::has_threshold_values_(),
              "framework contract: the device needs a member threshold_values_, a "
              "std::map<std::string, float> (public or protected)");
static_assert(D::has_poll_step_(),
              "framework contract: the device needs a member poll_step_, an unsigned 32-bit "
              "integer (public or protected)");
static_assert(D::has_rx_buf_(),
              "framework contract: the device needs a member rx_buf_, an array of at least 4 bytes "
              "(unsigned char, char or signed char) (public or protected)"
              "of at least 4 elements");
static_assert(D::has_rx_len_(),
              "framework contract: the device needs a member rx_len_, an unsigned 32-bit integer "
              "(public or protected)");
static_assert(D::has_baud_rate_(),
              "framework contract: the device needs a member baud_rate_, a 32-bit integer (public "
              "or protected)");
static_assert(D::has_port_setting_(),
              "framework contract: the device needs a member port_setting_, a 32-bit integer "
              "(public or protected)");

// Operations the driver overrides.
static_assert(D::has_Get_Value<float(unsigned int, const std::string&) const>(),
              "framework contract: the device needs the operation float Get_Value(unsigned int, "
              "const std::string&) const");
static_assert(D::has_LoadFromCache<int(const unsigned char*, int)>(),
              "framework contract: the device needs the operation int LoadFromCache(const unsigned "
              "char*, int)");
static_assert(D::has_RoundDone<void()>(),
              "framework contract: the device needs the operation void RoundDone()");
static_assert(
    D::has_InitSetting<int(const Json::Value&)>(),
    "framework contract: the device needs the operation int InitSetting(const Json::Value&)");
static_assert(D::has_RefreshStatus<int()>(),
              "framework contract: the device needs the operation int RefreshStatus()");
static_assert(
    D::has_process<int(unsigned char*, unsigned int)>(),
    "framework contract: the device needs the operation int process(unsigned char*, unsigned int)");

// Operations the plug-in calls.
static_assert(InterfaceView::has_LoadFromCache<int(const std::string&)>(),
              "framework contract: VDeviceInterface needs the operation int LoadFromCache(const "
              "std::string&)");
static_assert(D::has_DataId<unsigned int() const>(),
              "framework contract: the device needs the operation unsigned int DataId() const");
static_assert(D::has_Reset<void()>(),
              "framework contract: the device needs the operation void Reset()");
static_assert(D::has_SendSP<AnyResult(int, const unsigned char*, unsigned int, bool)>(),
              "framework contract: the device needs the operation SendSP(int, const unsigned "
              "char*, unsigned int, bool)");
static_assert(D::has_SendData<AnyResult(const unsigned char*, unsigned int)>(),
              "framework contract: the device needs the operation SendData(const unsigned char*, "
              "unsigned int)");
static_assert(D::has_CheckAOReport<bool(const std::string&, float)>(),
              "framework contract: the device needs the operation bool CheckAOReport(const "
              "std::string&, float)");
static_assert(
    D::has_CheckThreshold<AnyResult(const std::string&, const std::string&, const float&, int)>(),
    "framework contract: the device needs the operation CheckThreshold(const std::string&, const "
    "std::string&, const float&, "
    "int)");
static_assert(D::has_CheckThresholdBool<AnyResult(int, const std::string&, const std::string&,
                                                  const std::string&, const std::string&, bool,
                                                  unsigned short)>(),
              "framework contract: the device needs the operation CheckThresholdBool(int, const "
              "std::string&, const "
              "std::string&, const std::string&, const std::string&, bool, unsigned short)");
static_assert(D::has_DoBatchCheckThreshold<TruthResult(const Rules&)>(),
              "framework contract: the device needs the operation DoBatchCheckThreshold(const "
              "std::vector<rule_value>&) returning "
              "a result that tests as true or false");
static_assert(D::has_SaveDeviceHistory<AnyResult(const unsigned char*, unsigned int)>(),
              "framework contract: the device needs the operation SaveDeviceHistory(const unsigned "
              "char*, unsigned int)");

}  // namespace framework_contract
