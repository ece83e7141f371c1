#pragma once
// The unified data device's own configuration step: application mode and
// threshold entries. Included at the end of uni_data_device.h.

template <typename Data, typename Base, int RecordTypeId>
int UniDataDevice<Data, Base, RecordTypeId>::InitSetting(const Json::Value& config)
{
    // Look members up only on objects: the JSON library rejects member access on
    // any other kind of node, and a missing member must simply read as absent.
    static const Json::Value kAbsent;
    auto member = [](const Json::Value& node, const char* key) -> const Json::Value& {
        return node.isObject() ? node[key] : kAbsent;
    };
    auto line = [](const std::string& text) { std::cout << text << std::endl; };

    writeDataId();
    const unsigned int id = this->DataId();

    const Json::Value& app = member(config, "appSetting");
    if (app.isObject()) {
        const Json::Value& mode = app["b_mode"];
        if (!mode.isNull()) {
            b_mode_ = std::atoi(mode.asString().c_str());
            line("InitSetting " + std::to_string(id) + " b_mode_:" + std::to_string(b_mode_));
        }
    }

    if (b_mode_ == 3) {
        line("here 1");
        const Json::Value& entries = member(config, "thresholdSetting");
        if (!entries.isNull()) {
            line("here 2");
            if (entries.isObject()) {
                for (const std::string& name : entries.getMemberNames()) {
                    line("here " + name);
                    const Json::Value& entry = entries[name];
                    if (!entry.isObject())
                        continue;
                    const Json::Value& signal = entry["SignalName"];
                    if (!signal.isNull())
                        signal_names_[name] = signal.asString();
                    std::string ident;
                    for (const char* part : {"NMAlarmID", "ID", "SignalNumber"}) {
                        const Json::Value& value = entry[part];
                        if (!value.isNull())
                            ident += value.asString();
                        else
                            line(std::to_string(id) + " " + part + " is missing");
                        ident += ";";
                    }
                    std::cout << "mobile:" << name << ":" << ident
                              << " level:" << this->threshold_levels_[name]
                              << " value:" << this->threshold_values_[name] << std::endl;
                    alarm_ids_[name] = ident;
                }
            }
        }
    }
    return Base::InitSetting(config);
}
