#pragma once
// Reading the JSON of scenario files: the settings a scenario and a timeline
// step share, with errors that name the file and the JSON path.

#include <json/value.h>

#include <stdexcept>
#include <string>

#include "register_patch.h"

namespace kelsim {

// "<source>: <path>: <reason>".
std::runtime_error scenarioError(const std::string& source, const std::string& path,
                                 const std::string& reason);

bool isNumber(const Json::Value& value);

// A quantity, an alarm or "registers" written into `patch`; raw registers are
// applied last whatever the order of the keys, so they override quantities.
// Other keys are left to `other(key, value, path)`, which throws when it does
// not know them either.
template <typename OtherKey>
void readSettings(const Json::Value& object, const std::string& path, const std::string& source,
                  RegisterPatch* patch, OtherKey other);

// Implementation details of readSettings.
bool readSetting(const std::string& key, const Json::Value& value, const std::string& path,
                 const std::string& source, RegisterPatch* patch);
void readRegisters(const Json::Value& registers, const std::string& path, const std::string& source,
                   RegisterPatch* patch);

template <typename OtherKey>
void readSettings(const Json::Value& object, const std::string& path, const std::string& source,
                  RegisterPatch* patch, OtherKey other)
{
    for (const auto& key : object.getMemberNames()) {
        const std::string key_path = path + "." + key;
        if (key != "registers" && !readSetting(key, object[key], key_path, source, patch))
            other(key, object[key], key_path);
    }
    if (object.isMember("registers"))
        readRegisters(object["registers"], path + ".registers", source, patch);
}

}  // namespace kelsim
