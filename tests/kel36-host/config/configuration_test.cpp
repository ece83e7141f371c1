// The host configuration file and the one-device flags, read in-process.

#include <gtest/gtest.h>

#include <json/reader.h>

#include "kel36-host/config/host_config.h"
#include "kel36-host/config/options.h"
#include "kel36-host/output/protocol_view.h"
#include "kel36-host/tool_error.h"
#include "host_process.h"

namespace keltool {
namespace {

std::string errorOf(const std::string& text)
{
    try {
        parseHostConfig(text, "h.json");
    } catch (const ToolError& e) {
        return e.what();
    }
    return "no error";
}

TEST(HostConfiguration, ReadsEveryDeviceWithItsNodeUnchanged)
{
    const auto devices = parseHostConfig(R"({"devices": [
        {"name": "north", "dataId": 4294967295, "port": "/dev/ttyS1", "flowControl": "rtscts",
         "rs485": {"delayBeforeMs": 3, "delayAfterMs": 100}, "echoCancel": true,
         "device": {"appSetting": {"addr": "12", "b_mode": "2"}, "extra": [1, 2]}},
        {"name": "south", "dataId": 0}
    ]})",
                                         "h.json");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].name, "north");
    EXPECT_EQ(devices[0].data_id, 4294967295u);
    EXPECT_EQ(devices[0].port, "/dev/ttyS1");
    EXPECT_TRUE(devices[0].rtscts);
    ASSERT_TRUE(devices[0].rs485.has_value());
    EXPECT_EQ(devices[0].rs485->delay_before_ms, 3u);
    EXPECT_EQ(devices[0].rs485->delay_after_ms, 100u);
    EXPECT_TRUE(devices[0].echo_cancel);
    EXPECT_EQ(devices[0].node["appSetting"]["b_mode"].asString(), "2");
    EXPECT_EQ(devices[0].node["extra"].size(), 2u);
    EXPECT_EQ(devices[0].origin, "h.json: $.devices[0]");
    EXPECT_EQ(devices[1].port, "") << "no port: a simulated controller";
    EXPECT_FALSE(devices[1].rtscts) << "no hardware flow control unless configured";
    EXPECT_FALSE(devices[1].rs485.has_value() || devices[1].echo_cancel);
    EXPECT_TRUE(devices[1].node.isObject());
    EXPECT_TRUE(devices[1].node.empty());
}

TEST(HostConfiguration, AcceptsABareListAndComments)
{
    const auto devices = parseHostConfig("// bench\n[{\"name\": \"a\", \"dataId\": 3}]", "h.json");
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].data_id, 3u);
    EXPECT_EQ(devices[0].origin, "h.json: $[0]");
}

TEST(HostConfiguration, NamesFileLineColumnAndPathOfEveryContentError)
{
    EXPECT_EQ(errorOf("[{\"dataId\": 1}]"), "h.json:1:2: $[0]: missing \"name\"");
    EXPECT_EQ(errorOf("[{\"name\": \"a\"}]"), "h.json:1:2: $[0]: missing \"dataId\"");
    EXPECT_EQ(errorOf("[{\"name\": \"a\", \"dataId\": 1.5}]"),
              "h.json:1:26: $[0].dataId: expected a whole number from 0 to 4294967295");
    EXPECT_EQ(errorOf("[{\"name\": \"a\", \"dataId\": 4294967296}]"),
              "h.json:1:26: $[0].dataId: expected a whole number from 0 to 4294967295");
    EXPECT_EQ(errorOf("[{\"name\": \"\", \"dataId\": 1}]"),
              "h.json:1:11: $[0].name: expected a non-empty string");
    EXPECT_EQ(errorOf("[{\"name\": \"a\", \"dataId\": 1, \"port\": 5}]"),
              "h.json:1:37: $[0].port: expected the path of a serial device");
    EXPECT_EQ(errorOf("[{\"name\": \"a\", \"dataId\": 1, \"flowControl\": \"xon\"}]"),
              "h.json:1:44: $[0].flowControl: expected \"none\" or \"rtscts\"");
    EXPECT_EQ(errorOf("[{\"name\": \"a\", \"dataId\": 1, \"rs485\": {\"delayAfterMs\": 101}}]"),
              "h.json:1:55: $[0].rs485.delayAfterMs: expected a whole number of ms from 0 to 100");
    EXPECT_EQ(errorOf("[{\"name\": \"a\", \"dataId\": 1, \"echoCancel\": 1}]"),
              "h.json:1:43: $[0].echoCancel: expected true or false");
    EXPECT_EQ(errorOf("[{\"name\": \"a\", \"dataId\": 1},\n {\"name\": \"b\", \"dataId\": 1}]"),
              "h.json:2:26: $[1].dataId: duplicate data identifier 1");
    EXPECT_EQ(errorOf("{\"devices\": [], \"extra\": 1}"),
              "h.json:1:26: $.extra: unknown key (expected \"devices\" or \"host\")");
    EXPECT_EQ(errorOf("\"devices\""),
              "h.json:1:1: invalid JSON: A valid JSON document must be either an array or an "
              "object value.");
    EXPECT_EQ(errorOf("[1]"),
              "h.json:1:2: $[0]: expected an object with name, dataId, port and device");
    EXPECT_EQ(
        errorOf("{\"devices\": [{\"name\": \"a\", \"name\": \"b\", \"dataId\": 1}]}").substr(0, 20),
        "h.json:1:28: invalid");
    EXPECT_EQ(errorOf(""),
              "h.json:1:1: invalid JSON: Syntax error: value, object or array expected.");
}

TEST(HostConfiguration, ScenarioPathsAreRelativeToTheConfigurationFile)
{
    toolstest::TempDir dir;
    const std::string path =
        dir.write("host.json", R"([{"name": "a", "dataId": 1, "scenario": "s.json"},
                         {"name": "b", "dataId": 2, "scenario": "/abs/s.json"}])");
    const auto devices = loadHostConfig(path);
    EXPECT_EQ(devices[0].scenario, dir.path() + "/s.json");
    EXPECT_EQ(devices[1].scenario, "/abs/s.json");
}

TEST(HostConfiguration, RunSettingsLiveInHostAndAFlagOverridesThem)
{
    toolstest::TempDir dir;
    const std::string path = dir.write("host.json", R"({
        "host": {"history": "run.db", "keep": 30, "cache": "/var/cache/k", "http": "8736",
                 "capture": "line.pcapng"},
        "devices": [{"name": "a", "dataId": 1}]})");
    const ToolOptions from_file = withConfiguredSettings(parseOptions({"--config", path}));
    EXPECT_EQ(from_file.history_path, dir.path() + "/run.db") << "relative to the file";
    EXPECT_EQ(from_file.keep_days, 30);
    EXPECT_EQ(from_file.cache_dir, "/var/cache/k");
    ASSERT_TRUE(from_file.http.has_value());
    EXPECT_EQ(from_file.http->port, 8736);
    EXPECT_EQ(from_file.capture_path, dir.path() + "/line.pcapng");

    const ToolOptions flags = withConfiguredSettings(parseOptions(
        {"--config", path, "--history", "other.db", "--keep", "2", "--http", "127.0.0.1:9",
         "--capture", "other.pcapng"}));
    EXPECT_EQ(flags.history_path, "other.db");
    EXPECT_EQ(flags.keep_days, 2);
    EXPECT_EQ(flags.http->port, 9);
    EXPECT_EQ(flags.capture_path, "other.pcapng");
    EXPECT_EQ(flags.cache_dir, "/var/cache/k") << "what no flag names still comes from the file";

    const auto settingsError = [](const std::string& text) {
        try {
            parseHostSettings(text, "h.json");
        } catch (const ToolError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(settingsError(R"({"host": {"histroy": "x"}, "devices": []})"),
              "h.json:1:22: $.host.histroy: unknown key (expected history, keep, cache, http, "
              "capture, mqtt, onEvent, eventHold, eventTimeout)");
    EXPECT_EQ(settingsError(R"({"host": {"keep": 0}, "devices": []})"),
              "h.json:1:19: $.host.keep: expected a whole number of days from 1 to 36500");
    EXPECT_EQ(settingsError(R"({"host": [], "devices": []})"),
              "h.json:1:10: $.host: expected an object of the run's settings");
    EXPECT_NE(settingsError(R"({"host": {"http": "nowhere:x"}, "devices": []})").find("$.host.http: --http"),
              std::string::npos);
    const std::string keep_only = dir.write("keep.json", R"({"devices": [{"name": "a", "dataId": 1}]})");
    EXPECT_THROW(withConfiguredSettings(parseOptions({"--config", keep_only, "--keep", "3"})),
                 ToolError)
        << "--keep without a history anywhere";
}

TEST(CommandLine, MistypedOptionsGetASuggestionAndHelpNamesTheProgram)
{
    const auto errorOf = [](const std::vector<std::string>& args) {
        try {
            parseCommandLine(args);
        } catch (const ToolError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(errorOf({"--intervall", "5"}), "unknown option --intervall (did you mean --interval?)");
    EXPECT_EQ(errorOf({"--histroy=x.db"}), "unknown option --histroy=x.db (did you mean --history?)");
    EXPECT_EQ(errorOf({"scan", "--port", "/dev/x", "--bauds", "9600"}),
              "unknown option --bauds (did you mean --baud?)");
    EXPECT_EQ(errorOf({"--zzzzzz"}), "unknown option --zzzzzz (see --help)");

    const CommandLine history = parseCommandLine({"history", "--help"});
    EXPECT_NE(history.help.find("Usage: kel36-host history FILE (--csv | --json) [options]\n"),
              std::string::npos)
        << history.help;
    EXPECT_EQ(history.help.find("3 when"), std::string::npos) << "no polling exit statuses";
    EXPECT_NE(parseCommandLine({"scan", "--help"}).help.find("Usage: kel36-host scan --port DEV"),
              std::string::npos);
    EXPECT_NE(parseCommandLine({"--help"}).help.find("(0, the default: no limit)"),
              std::string::npos);
}

TEST(CommandLine, AnAddressTextWithoutANumberIsWarnedAbout)
{
    const auto warningFor = [](const std::string& addr) {
        DeviceSpec d;
        d.name = "g1";
        d.node["appSetting"]["addr"] = addr;
        return addressWarning(d);
    };
    EXPECT_EQ(warningFor("A"),
              "g1: the address \"A\" reads as address 0 (it is decimal text; the character A is "
              "address 65)");
    EXPECT_EQ(warningFor("65"), "");
    EXPECT_EQ(warningFor(" 7x"), "") << "atof reads 7";
    EXPECT_EQ(warningFor("0"), "");
    EXPECT_NE(warningFor("\x1b[2J").find("\\x1b[2J"), std::string::npos) << "escaped";
    const toolstest::HostRun run = toolstest::runHost({"--addr", "A", "--rounds", "1"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_NE(run.err.find("kel36-host: warning: kel36: the address \"A\" reads as address 0"),
              std::string::npos)
        << run.err;
}

TEST(CommandLine, OneDeviceFromFlags)
{
    const ToolOptions o =
        parseOptions({"--port=/dev/ttyUSB0", "--addr", "7", "--data-id", "12", "--name", "gen",
                      "--interval", "0", "--timeout", "250", "--rounds", "4", "--json", "--trace",
                      "--rs485-delays", "0,5", "--echo-cancel"});
    const DeviceSpec d = deviceFromFlags(o);
    ASSERT_TRUE(d.rs485.has_value()) << "--rs485-delays implies --rs485";
    EXPECT_EQ(d.rs485->delay_after_ms, 5u);
    EXPECT_TRUE(d.echo_cancel);
    EXPECT_EQ(d.name, "gen");
    EXPECT_EQ(d.data_id, 12u);
    EXPECT_EQ(d.port, "/dev/ttyUSB0");
    EXPECT_EQ(d.node["appSetting"]["addr"].asString(), "7");
    EXPECT_EQ(o.interval_ms, 0);
    EXPECT_EQ(o.timeout_ms, 250);
    EXPECT_EQ(o.rounds, 4u);
    EXPECT_EQ(o.output, OutputMode::Json);
    EXPECT_TRUE(o.trace);
}

TEST(CommandLine, ScanTakesItsRangeAndBaudRatesAndDefaultsToEveryAddressAt19200)
{
    const CommandLine plain = parseCommandLine({"scan", "--port", "/dev/ttyUSB0"});
    EXPECT_EQ(plain.command, Command::Scan);
    EXPECT_EQ(plain.scan.first_address, 0);
    EXPECT_EQ(plain.scan.last_address, 255);
    EXPECT_EQ(plain.scan.bauds, std::vector<int>{19200});
    EXPECT_FALSE(plain.scan.timeout_ms.has_value()) << "derived from the baud rate";
    const CommandLine one =
        parseCommandLine({"scan", "--port", "/dev/ttyUSB0", "--addr-range", "7", "--baud",
                          "9600,19200,9600", "--timeout", "300", "--rs485", "--echo-cancel"});
    EXPECT_EQ(one.scan.first_address, 7);
    EXPECT_EQ(one.scan.last_address, 7);
    EXPECT_EQ(one.scan.bauds, (std::vector<int>{9600, 19200}));
    EXPECT_EQ(one.scan.timeout_ms, 300);
    EXPECT_TRUE(one.scan.rs485.has_value() && one.scan.echo_cancel);
}

TEST(CommandLine, DefaultsPollOnceASecondWithOneSecondTimeOutOnASimulatedController)
{
    const ToolOptions o = parseOptions({});
    EXPECT_EQ(o.interval_ms, 1000);
    EXPECT_EQ(o.timeout_ms, 1000);
    EXPECT_EQ(o.rounds, 0u);
    const auto devices = devicesFor(o);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].port, "");
    EXPECT_EQ(devices[0].data_id, 1u);
    EXPECT_TRUE(devices[0].node.empty()) << "no --addr: the driver keeps its own default";
}

TEST(CommandLine, SimulateReplacesConfiguredPortsAndScenarioAppliesToSimulatedDevices)
{
    toolstest::TempDir dir;
    const std::string path =
        dir.write("host.json", R"([{"name": "a", "dataId": 1, "port": "/dev/ttyS0"},
                                                        {"name": "b", "dataId": 2}])");
    const auto real = devicesFor(parseOptions({"--config", path, "--scenario", "x.json"}));
    EXPECT_EQ(real[0].port, "/dev/ttyS0");
    EXPECT_EQ(real[0].scenario, "");
    EXPECT_EQ(real[1].scenario, "x.json");
    const auto simulated = devicesFor(parseOptions({"--config", path, "--simulate"}));
    EXPECT_EQ(simulated[0].port, "");
    EXPECT_EQ(simulated[1].port, "");
}

TEST(CommandLine, FaultInjectionFlags)
{
    const ToolOptions o = parseOptions({"--sim-fault", "drop=0.25", "--sim-fault=garble=1",
                                        "--sim-delay", "40", "--sim-seed", "9", "--sim-pace"});
    EXPECT_DOUBLE_EQ(o.faults.drop, 0.25);
    EXPECT_DOUBLE_EQ(o.faults.garble, 1.0);
    EXPECT_EQ(o.faults.delay_ms, 40);
    EXPECT_EQ(o.faults.seed, 9u);
    EXPECT_TRUE(o.faults.pace);
    EXPECT_EQ(o.faults.turnaround_ms, 2);
    EXPECT_TRUE(o.faults.echo_register);
    const ToolOptions line = parseOptions({"--sim-echo", "none", "--sim-turnaround=7"});
    EXPECT_FALSE(line.faults.echo_register);
    EXPECT_EQ(line.faults.turnaround_ms, 7);
    EXPECT_THROW(parseOptions({"--sim-echo", "yes"}), ToolError);
    EXPECT_THROW(parseOptions({"--port", "/dev/ttyS0", "--sim-echo", "none"}), ToolError);
    EXPECT_THROW(parseOptions({"--sim-fault", "drop=1.5"}), ToolError);
    EXPECT_THROW(parseOptions({"--port", "/dev/ttyS0", "--sim-fault", "drop=0.1"}), ToolError);
    EXPECT_THROW(parseOptions({"--config", "h.json", "--port", "/dev/ttyS0"}), ToolError);
    EXPECT_THROW(parseOptions({"--json=yes"}), ToolError);
    EXPECT_THROW(parseOptions({"stray"}), ToolError);
}

// The host reads the address from the device node on its own, to tell a
// simulated controller which address to answer; it must agree with the
// driver's reading for every form of input.
TEST(AddressReading, FollowsTheNodesTextAsADecimalNumber)
{
    const auto addr = [](const char* json) {
        Json::Value node;
        std::istringstream(json) >> node;
        return static_cast<int>(addressFromNode(node));
    };
    EXPECT_EQ(addr("{}"), 0x41);
    EXPECT_EQ(addr(R"({"appSetting": "65"})"), 0x41);
    EXPECT_EQ(addr(R"({"appSetting": {}})"), 0x41);
    EXPECT_EQ(addr(R"({"appSetting": {"addr": null}})"), 0x41);
    EXPECT_EQ(addr(R"({"appSetting": {"addr": "7"}})"), 7);
    EXPECT_EQ(addr(R"({"appSetting": {"addr": "  65.9xyz"}})"), 65);
    EXPECT_EQ(addr(R"({"appSetting": {"addr": "-1"}})"), 255);
    EXPECT_EQ(addr(R"({"appSetting": {"addr": "300"}})"), 44);
    EXPECT_EQ(addr(R"({"appSetting": {"addr": "genset"}})"), 0);
    EXPECT_EQ(addr(R"({"appSetting": {"addr": "nan"}})"), 0);
    EXPECT_EQ(addr(R"({"appSetting": {"addr": "1e30"}})"), 0);
    EXPECT_EQ(addr(R"({"appSetting": {"addr": 66}})"), 66);
    EXPECT_EQ(addr(R"({"appSetting": {"addr": true}})"), 0);
}

TEST(RequestFrames, AreBuiltAndReadTheProtocolsWay)
{
    const Frame f = requestFrame(0x41, 64);
    EXPECT_EQ(std::string(f.begin(), f.end()), "|DF56DE");
    DecodedRequest r;
    const unsigned char good[] = "|99569F";
    ASSERT_TRUE(decodeRequest(good, 7, &r));
    EXPECT_EQ(r.address, 7);
    EXPECT_EQ(r.reg, 1);
    const unsigned char lower[] = "|df569e";
    EXPECT_FALSE(decodeRequest(lower, 7, &r));
    const unsigned char beyond[] = "|DF56DF";  // register 65
    EXPECT_FALSE(decodeRequest(beyond, 7, &r));
    const unsigned char other_command[] = "|DF579E";
    EXPECT_FALSE(decodeRequest(other_command, 7, &r));
    EXPECT_FALSE(decodeRequest(good, 6, &r));
}

// Bytes 2-3 of a reply, read across chunks, name the register it answers;
// the trace marks only another register than the awaited one.
TEST(ReplyEchoWatch, NamesTheRegisterOfAReplyForAnotherRegisterOnly)
{
    struct Case {
        const char* name;
        int awaited;
        std::vector<std::string> chunks;
        std::vector<int> marks;  // per chunk
    };
    const Case cases[] = {
        {"echo of the awaited register", 0, {"9F9E"}, {-1}},
        {"register 7 while 0 is awaited", 0, {"9F99"}, {7}},
        {"byte by byte", 0, {"9", "F", "9", "9"}, {-1, -1, -1, 7}},
        {"split inside the pair", 2, {"9F9", "9XY"}, {-1, 7}},
        {"lower case", 0, {"9f99"}, {7}},
        {"names no register (no echo)", 0, {"9F00"}, {-1}},
        {"not hex", 0, {"9FZ9"}, {-1}},
        {"over-long: extra bytes are no second reply", 0, {"9F99", "99"}, {7, -1}},
        {"nothing awaited", -1, {"9F99"}, {-1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReplyEchoWatch watch;
        watch.requestSent(5);
        watch.received(reinterpret_cast<const unsigned char*>("1234"), 4);  // an earlier reply
        watch.requestSent(c.awaited);
        for (std::size_t i = 0; i < c.chunks.size(); ++i)
            EXPECT_EQ(watch.received(reinterpret_cast<const unsigned char*>(c.chunks[i].data()),
                                     c.chunks[i].size()),
                      c.marks[i])
                << "chunk " << i;
        EXPECT_EQ(watch.awaited(), c.awaited);
    }
}

}  // namespace
}  // namespace keltool
