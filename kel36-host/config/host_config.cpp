#include "kel36-host/config/host_config.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>

#include <json/reader.h>

#include "cli/input_file.h"
#include "kel36-host/config/device_name.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

struct Position {
    int line = 1;
    int column = 1;
};

Position positionAt(const std::string& text, std::ptrdiff_t offset)
{
    Position pos;
    for (std::ptrdiff_t i = 0; i < offset && i < static_cast<std::ptrdiff_t>(text.size()); ++i) {
        if (text[static_cast<std::size_t>(i)] == '\n') {
            ++pos.line;
            pos.column = 1;
        } else {
            ++pos.column;
        }
    }
    return pos;
}

// Turns JsonCpp's "* Line 3, Column 5\n  Missing ',' ..." into one line.
std::string syntaxError(const std::string& source, const std::string& errors)
{
    int line = 0;
    int column = 0;
    std::string detail;
    if (std::sscanf(errors.c_str(), "* Line %d, Column %d", &line, &column) == 2) {
        const auto nl = errors.find('\n');
        if (nl != std::string::npos) {
            detail = errors.substr(nl + 1);
            const auto end = detail.find('\n');
            if (end != std::string::npos)
                detail.resize(end);
            const auto start = detail.find_first_not_of(' ');
            detail = start == std::string::npos ? "" : detail.substr(start);
        }
        return source + ":" + std::to_string(line) + ":" + std::to_string(column) +
               ": invalid JSON: " + (detail.empty() ? "syntax error" : detail);
    }
    auto first = errors.substr(0, errors.find('\n'));
    return source + ": invalid JSON: " + first;
}

class ConfigReader {
public:
    ConfigReader(const std::string& text, const std::string& source) : text_(text), source_(source)
    {
    }

    [[noreturn]] void fail(const Json::Value& at, const std::string& path,
                           const std::string& what) const
    {
        const Position pos = positionAt(text_, at.getOffsetStart());
        throw ToolError(source_ + ":" + std::to_string(pos.line) + ":" +
                        std::to_string(pos.column) + ": " + path + ": " + what);
    }

    Json::Value parse() const
    {
        Json::CharReaderBuilder builder;
        Json::CharReaderBuilder::strictMode(&builder.settings_);
        builder.settings_["allowComments"] = true;
        builder.settings_["stackLimit"] = kelcli::kMaxJsonNesting;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value root;
        std::string errors;
        bool parsed = false;
        try {
            parsed = reader->parse(text_.data(), text_.data() + text_.size(), &root, &errors);
        } catch (const Json::Exception&) {
            // The reader throws, rather than reports, text nested beyond its limit.
            throw ToolError(source_ + ": invalid JSON: nested deeper than " +
                            std::to_string(kelcli::kMaxJsonNesting) + " levels");
        }
        if (!parsed)
            throw ToolError(syntaxError(source_, errors));
        return root;
    }

    std::vector<DeviceSpec> devices(const Json::Value& root) const
    {
        const Json::Value* list = &root;
        std::string prefix = "$";
        if (root.isObject()) {
            for (const std::string& key : root.getMemberNames())
                if (key != "devices" && key != "host")
                    fail(root[key], "$." + key, "unknown key (expected \"devices\" or \"host\")");
            if (!root.isMember("devices"))
                fail(root, "$", "missing \"devices\"");
            list = &root["devices"];
            prefix = "$.devices";
            if (!list->isArray())
                fail(*list, prefix, "expected a list of devices");
        } else if (!root.isArray()) {
            fail(root, "$", "expected a list of devices or an object with \"devices\"");
        }
        if (list->empty())
            fail(*list, prefix, "no device configured");

        std::vector<DeviceSpec> out;
        std::set<std::string> names;
        std::set<uint32_t> ids;
        for (Json::ArrayIndex i = 0; i < list->size(); ++i) {
            const std::string path = prefix + "[" + std::to_string(i) + "]";
            DeviceSpec device_spec = device((*list)[i], path);
            if (!names.insert(device_spec.name).second)
                fail((*list)[i]["name"], path + ".name",
                     "duplicate device name \"" + device_spec.name + "\"");
            if (!ids.insert(device_spec.data_id).second)
                fail((*list)[i]["dataId"], path + ".dataId",
                     "duplicate data identifier " + std::to_string(device_spec.data_id));
            out.push_back(std::move(device_spec));
        }
        return out;
    }

    // The run's own settings: "host" beside "devices". Each key is the
    // command-line flag of the same name; a flag given overrides it.
    HostSettings settings(const Json::Value& root) const
    {
        HostSettings out;
        if (!root.isObject() || !root.isMember("host"))
            return out;
        const Json::Value& v = root["host"];
        const std::string path = "$.host";
        if (!v.isObject())
            fail(v, path, "expected an object of the run's settings");
        static const std::set<std::string> known = {"history", "keep", "cache", "http",
                                                   "capture"};
        for (const std::string& key : v.getMemberNames())
            if (!known.count(key))
                fail(v[key], path + "." + key, "unknown key (expected history, keep, cache, http, capture)");
        const auto text = [&](const char* key, const char* what) -> std::optional<std::string> {
            if (!v.isMember(key))
                return std::nullopt;
            if (!v[key].isString() || v[key].asString().empty())
                fail(v[key], path + "." + key, std::string("expected ") + what);
            return v[key].asString();
        };
        out.history = text("history", "the path of a history database");
        out.cache = text("cache", "the path of a cache directory");
        out.capture = text("capture", "the path of a capture file");
        if (v.isMember("keep")) {
            const Json::Value& keep = v["keep"];
            if (!keep.isIntegral() || !keep.isUInt() || keep.asUInt() < 1 || keep.asUInt() > 36500)
                fail(keep, path + ".keep", "expected a whole number of days from 1 to 36500");
            out.keep_days = static_cast<int>(keep.asUInt());
        }
        if (const auto http = text("http", "an address to listen on, as --http takes it")) {
            try {
                out.http = parseHttpAddress(*http);
            } catch (const ToolError& e) {
                fail(v["http"], path + ".http", e.what());
            }
        }
        return out;
    }

private:
    DeviceSpec device(const Json::Value& v, const std::string& path) const
    {
        if (!v.isObject())
            fail(v, path, "expected an object with name, dataId, port and device");
        static const std::set<std::string> known = {"name",  "dataId",     "port",   "flowControl",
                                                    "rs485", "echoCancel", "device", "scenario"};
        for (const std::string& key : v.getMemberNames())
            if (!known.count(key))
                fail(v[key], path + "." + key,
                     "unknown key (expected name, dataId, port, flowControl, rs485, echoCancel, "
                     "device, scenario)");
        DeviceSpec device_spec;
        device_spec.origin = source_ + ": " + path;

        if (!v.isMember("name"))
            fail(v, path, "missing \"name\"");
        if (!v["name"].isString() || v["name"].asString().empty())
            fail(v["name"], path + ".name", "expected a non-empty string");
        device_spec.name = v["name"].asString();
        const std::string problem = deviceNameProblem(device_spec.name);
        if (!problem.empty())
            fail(v["name"], path + ".name", "the name " + problem);

        if (!v.isMember("dataId"))
            fail(v, path, "missing \"dataId\"");
        const Json::Value& id = v["dataId"];
        if (!id.isIntegral() || !id.isUInt())
            fail(id, path + ".dataId", "expected a whole number from 0 to 4294967295");
        device_spec.data_id = id.asUInt();

        if (v.isMember("port")) {
            if (!v["port"].isString() || v["port"].asString().empty())
                fail(v["port"], path + ".port", "expected the path of a serial device");
            device_spec.port = v["port"].asString();
        }
        if (v.isMember("flowControl")) {
            const Json::Value& fc = v["flowControl"];
            if (!fc.isString() || (fc.asString() != "none" && fc.asString() != "rtscts"))
                fail(fc, path + ".flowControl", "expected \"none\" or \"rtscts\"");
            device_spec.rtscts = fc.asString() == "rtscts";
        }
        if (v.isMember("rs485"))
            device_spec.rs485 = rs485(v["rs485"], path + ".rs485");
        if (v.isMember("echoCancel")) {
            if (!v["echoCancel"].isBool())
                fail(v["echoCancel"], path + ".echoCancel", "expected true or false");
            device_spec.echo_cancel = v["echoCancel"].asBool();
        }
        if (v.isMember("device")) {
            if (!v["device"].isObject())
                fail(v["device"], path + ".device", "expected the device node (a JSON object)");
            device_spec.node = v["device"];
        }
        if (v.isMember("scenario")) {
            if (!v["scenario"].isString() || v["scenario"].asString().empty())
                fail(v["scenario"], path + ".scenario", "expected the path of a scenario file");
            device_spec.scenario = v["scenario"].asString();
        }
        return device_spec;
    }

    // false, true, or {"delayBeforeMs": B, "delayAfterMs": A}
    std::optional<kelcli::Rs485Settings> rs485(const Json::Value& v, const std::string& path) const
    {
        if (v.isBool())
            return v.asBool() ? std::optional<kelcli::Rs485Settings>(kelcli::Rs485Settings{})
                              : std::nullopt;
        if (!v.isObject())
            fail(v, path, "expected true, false or {\"delayBeforeMs\": B, \"delayAfterMs\": A}");
        kelcli::Rs485Settings settings;
        for (const std::string& key : v.getMemberNames()) {
            const Json::Value& ms = v[key];
            if (key != "delayBeforeMs" && key != "delayAfterMs")
                fail(ms, path + "." + key, "unknown key (expected delayBeforeMs, delayAfterMs)");
            if (!ms.isIntegral() || !ms.isUInt() || ms.asUInt() > kelcli::kMaxRs485DelayMs)
                fail(ms, path + "." + key,
                     "expected a whole number of ms from 0 to " +
                         std::to_string(kelcli::kMaxRs485DelayMs));
            (key == "delayBeforeMs" ? settings.delay_before_ms : settings.delay_after_ms) =
                ms.asUInt();
        }
        return settings;
    }

    const std::string& text_;
    const std::string& source_;
};

std::string directoryOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

std::vector<DeviceSpec> parseHostConfig(const std::string& text, const std::string& source)
{
    ConfigReader reader(text, source);
    return reader.devices(reader.parse());
}

HostSettings parseHostSettings(const std::string& text, const std::string& source)
{
    ConfigReader reader(text, source);
    return reader.settings(reader.parse());
}

ToolOptions withConfiguredSettings(ToolOptions options)
{
    if (!options.config_path.empty()) {
        const std::string& path = options.config_path;
        std::string text;
        std::string error;
        if (!kelcli::readInputFile(path, &text, &error))
            throw ToolError("cannot read configuration " + path + ": " + error);
        const HostSettings file = parseHostSettings(text, path);
        // Paths in the file are taken relative to it, as scenario paths are.
        const auto relative = [&path](const std::string& p) {
            return p[0] == '/' ? p : directoryOf(path) + p;
        };
        if (options.history_path.empty() && file.history)
            options.history_path = relative(*file.history);
        if (options.keep_days == 0 && file.keep_days)
            options.keep_days = *file.keep_days;
        if (options.cache_dir.empty() && file.cache)
            options.cache_dir = relative(*file.cache);
        if (!options.http && file.http)
            options.http = file.http;
        if (options.capture_path.empty() && file.capture)
            options.capture_path = relative(*file.capture);
    }
    if (options.keep_days > 0 && options.history_path.empty())
        throw ToolError("--keep needs --history (or \"history\" in the configuration's \"host\")");
    if ((options.capture_limit_bytes > 0 || options.capture_files_given) &&
        options.capture_path.empty())
        throw ToolError("--capture-limit and --capture-files need --capture (or \"capture\" in the "
                        "configuration's \"host\")");
    return options;
}

std::vector<DeviceSpec> loadHostConfig(const std::string& path)
{
    std::string text;
    std::string error;
    if (!kelcli::readInputFile(path, &text, &error))
        throw ToolError("cannot read configuration " + path + ": " + error);
    std::vector<DeviceSpec> devices = parseHostConfig(text, path);
    for (DeviceSpec& d : devices)
        if (!d.scenario.empty() && d.scenario[0] != '/')
            d.scenario = directoryOf(path) + d.scenario;
    return devices;
}

std::string addressWarning(const DeviceSpec& device)
{
    const Json::Value& app = device.node["appSetting"];
    if (!app.isObject() || !app["addr"].isString())
        return std::string();
    // The driver reads the text as a decimal number, as atof does: text with
    // no number in front reads as address 0, a plausible mistake for "A".
    const std::string text = app["addr"].asString();
    char* end = nullptr;
    std::strtod(text.c_str(), &end);
    if (end != text.c_str())
        return std::string();
    std::string hint;
    if (text.size() == 1 && static_cast<unsigned char>(text[0]) > 32 &&
        static_cast<unsigned char>(text[0]) < 127)
        hint = "; the character " + text + " is address " +
               std::to_string(static_cast<unsigned char>(text[0]));
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return device.name + ": the address \"" + shown +
           "\" reads as address 0 (it is decimal text" + hint + ")";
}

DeviceSpec deviceFromFlags(const ToolOptions& options)
{
    DeviceSpec device_spec;
    device_spec.name = options.name.value_or("kel36");
    device_spec.data_id = options.data_id.value_or(1);
    device_spec.port = options.port.value_or("");
    device_spec.rtscts = options.rtscts;
    device_spec.rs485 = options.rs485;
    device_spec.echo_cancel = options.echo_cancel;
    if (options.addr)
        device_spec.node["appSetting"]["addr"] = *options.addr;
    if (options.reply_echo)
        device_spec.node["appSetting"]["replyEcho"] = *options.reply_echo;
    device_spec.origin = "command line";
    return device_spec;
}

std::vector<DeviceSpec> devicesFor(const ToolOptions& options)
{
    std::vector<DeviceSpec> devices = options.config_path.empty()
                                          ? std::vector<DeviceSpec>{deviceFromFlags(options)}
                                          : loadHostConfig(options.config_path);
    bool any_simulated = false;
    for (DeviceSpec& d : devices) {
        if (options.simulate) {
            d.simulated_line = d.port;
            d.port.clear();
        }
        // A simulated controller's line is a pseudo-terminal without an adapter.
        if (d.port.empty()) {
            d.rs485.reset();
            d.echo_cancel = false;
        }
        if (d.port.empty() && !options.scenario_path.empty())
            d.scenario = options.scenario_path;
        any_simulated |= d.port.empty();
    }
    // Options for simulated controllers that no device has would silently do nothing.
    const std::string sim_option =
        !options.scenario_path.empty() ? "--scenario" : options.sim_option;
    if (!any_simulated && !sim_option.empty())
        throw ToolError(sim_option + " needs a simulated controller, and every device in " +
                        options.config_path + " has a port (add --simulate)");
    return devices;
}

}  // namespace keltool
