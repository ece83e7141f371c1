// Value lookup by signal name, answered straight from the record.

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "kel36/kel36.h"
#include "unidata/record_bytes.h"

namespace {

struct NamedField {
    const char* name;
    std::size_t offset;
};

const NamedField kLookupFields[] = {
    {"uab", offsetof(Kel36_Data_t, uab)},     {"ubc", offsetof(Kel36_Data_t, ubc)},
    {"uca", offsetof(Kel36_Data_t, uca)},     {"frequency", offsetof(Kel36_Data_t, frequency)},
    {"ua", offsetof(Kel36_Data_t, ua)},       {"ub", offsetof(Kel36_Data_t, ub)},
    {"uc", offsetof(Kel36_Data_t, uc)},
};

constexpr int64_t kMaxAgeSeconds = 60;

}  // namespace

float Kel36::Get_Value(unsigned int /*index*/, const std::string& name) const
{
    if (!data_valid_)
        throw std::out_of_range("数据未就绪");
    const int64_t age =
        (boost::posix_time::second_clock::local_time() - last_time_).total_seconds();
    if (age > kMaxAgeSeconds)
        throw std::out_of_range("数据已超时");
    for (const NamedField& field : kLookupFields) {
        if (name == field.name)
            return record::getFloat(recordBytes(), field.offset);
    }
    throw std::out_of_range("不支持变量");
}
