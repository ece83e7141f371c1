// Every bad input gives one clear line on stderr and exit status 2, nothing
// on stdout, and never a crash or a wait.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "host_process.h"

namespace toolstest {
namespace {

struct BadInput {
    const char* name;
    std::vector<std::string> args;  // "@DIR" is replaced by the test's scratch directory
    std::string message;            // expected on stderr after "kel36-host: "
};

std::ostream& operator<<(std::ostream& out, const BadInput& c)
{
    return out << c.name;
}

class BadInputs : public ::testing::TestWithParam<BadInput> {};

std::string substituted(const std::string& text, const std::string& dir)
{
    std::string out = text;
    for (std::size_t pos; (pos = out.find("@DIR")) != std::string::npos;)
        out.replace(pos, 4, dir);
    return out;
}

TEST_P(BadInputs, GiveOneLineOnStderrAndExitStatusTwo)
{
    TempDir dir;
    dir.write("syntax.json", "{\n  \"devices\": [\n    {\"name\": \"a\" \"dataId\": 1}\n  ]\n}\n");
    dir.write("negative-id.json", "{\"devices\": [\n  {\"name\": \"a\", \"dataId\": -4}\n]}\n");
    dir.write("unknown-key.json", "[{\"name\": \"a\", \"dataId\": 1, \"prot\": \"/dev/ttyS0\"}]");
    dir.write("duplicate.json",
              "[{\"name\": \"a\", \"dataId\": 1}, {\"name\": \"a\", \"dataId\": 2}]");
    dir.write("no-devices.json", "{\"devices\": []}");
    dir.write("node.json", "[{\"name\": \"a\", \"dataId\": 1, \"device\": [1]}]");
    dir.write("bad-scenario.json", "{\"uab\": \"high\"}");
    dir.write("cache-file", "");
    dir.write("same-address.json",
              "[{\"name\": \"a\", \"dataId\": 1, \"port\": \"" + dir.file("bus") +
                  "\"}, {\"name\": \"b\", \"dataId\": 2, \"port\": \"" + dir.file("bus") +
                  "\", \"device\": {\"appSetting\": {\"addr\": \"65\"}}}]");
    // The first device's line opens; the second's does not: nothing may
    // have been printed for the first.
    dir.write("second-port-missing.json",
              "[{\"name\": \"a\", \"dataId\": 1}, {\"name\": \"b\", \"dataId\": 2, "
              "\"port\": \"" +
                  dir.file("ttyUSB9") + "\"}]");
    dir.write("real.json", "[{\"name\": \"a\", \"dataId\": 1, \"port\": \"/dev/ttyS0\"}]");
    dir.write("deep.json", std::string(5000, '['));
    dir.write("nul-name.json", "[{\"name\": \"a\\u0000b\", \"dataId\": 1}]");
    dir.write("newline-name.json", "[{\"name\": \"a\\nb\", \"dataId\": 1}]");
    dir.write("latin1-name.json", "[{\"name\": \"Gr\xfcn\", \"dataId\": 1}]");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    ASSERT_EQ(mkdir(dir.file("cache-dir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("cache-dir/1.rec").c_str(), 0755), 0);
    if (std::string(GetParam().name).rfind("PluginTruncated", 0) == 0) {
        const std::string plugin = readFile(pluginPath());
        dir.write("header.so", plugin.substr(0, 40));
        dir.write("half.so", plugin.substr(0, plugin.size() / 2));
        // No section headers (they are optional): the segments are what is cut.
        std::string segments = plugin.substr(0, 70000);
        segments[60] = segments[61] = 0;  // e_shnum of a 64-bit ELF header
        dir.write("segments.so", segments);
    }
    if (GetParam().name == std::string("ConfigTooLarge"))
        dir.write("big.json", "[" + std::string(1024 * 1024, ' ') + "]");

    std::vector<std::string> args = {"--plugin", pluginPath()};
    for (const std::string& a : GetParam().args)
        args.push_back(substituted(a, dir.path()));
    const HostRun run = runHost(args, std::chrono::seconds(20));
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.out, "");
    const std::string expected = "kel36-host: " + substituted(GetParam().message, dir.path());
    EXPECT_EQ(run.err.substr(0, expected.size()), expected) << run.err;
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Each, BadInputs,
    ::testing::Values(
        BadInput{"UnknownFlag", {"--colour"}, "unknown option --colour (see --help)"},
        BadInput{"HttpBareIpv6",
                 {"--http", "::1:8080"},
                 "--http: an IPv6 address goes in brackets, as in [::1]:8080, got '::1:8080'"},
        BadInput{"HttpPortOutOfRange",
                 {"--http", "localhost:65536"},
                 "--http: expected a port from 0 to 65535 after the address, got "
                 "'localhost:65536'"},
        BadInput{"HttpAddressNotOfThisMachine",
                 {"--http", "192.0.2.1:8080"},
                 "--http: cannot listen on 192.0.2.1:8080: Cannot assign requested address"},
        BadInput{"MissingValue", {"--rounds"}, "--rounds needs a value"},
        BadInput{"MissingInlineValue", {"--cache="}, "--cache needs a value"},
        BadInput{"FlagWithValue", {"--json=1"}, "--json takes no value"},
        BadInput{"StrayArgument", {"now"}, "unexpected argument 'now'"},
        BadInput{"NotANumber",
                 {"--interval", "soon"},
                 "--interval: expected a whole number from 0 to 3600000, got 'soon'"},
        BadInput{"UnknownEchoMode",
                 {"--reply-echo", "yes"},
                 "--reply-echo: expected auto, on or off, got 'yes'"},
        BadInput{"ZeroTimeOut",
                 {"--timeout", "0"},
                 "--timeout: the reply time-out must be at least 1 ms"},
        BadInput{"JsonAndWatch", {"--json", "--watch"}, "--json and --watch exclude each other"},
        BadInput{"PeriodAndInterval",
                 {"--period", "500", "--interval", "100"},
                 "--interval and --period exclude each other"},
        BadInput{"PortAndSimulate",
                 {"--port", "/dev/null", "--simulate"},
                 "--port and --simulate exclude each other"},
        BadInput{
            "UnknownFault", {"--sim-fault", "melt=0.1"}, "--sim-fault: unknown fault kind 'melt'"},
        BadInput{"UnreadableConfig",
                 {"--config", "@DIR/missing.json"},
                 "cannot read configuration @DIR/missing.json: No such file or directory"},
        BadInput{"ConfigSyntax",
                 {"--config", "@DIR/syntax.json"},
                 "@DIR/syntax.json:3:18: invalid JSON: Missing ',' or '}' in object declaration"},
        BadInput{"ConfigValue",
                 {"--config", "@DIR/negative-id.json"},
                 "@DIR/negative-id.json:2:27: $.devices[0].dataId: expected a whole number from 0 "
                 "to 4294967295"},
        BadInput{"ConfigUnknownKey",
                 {"--config", "@DIR/unknown-key.json"},
                 "@DIR/unknown-key.json:1:37: $[0].prot: unknown key"},
        BadInput{"ConfigDuplicateName",
                 {"--config", "@DIR/duplicate.json"},
                 "@DIR/duplicate.json:1:39: $[1].name: duplicate device name \"a\""},
        BadInput{"ConfigWithoutDevices",
                 {"--config", "@DIR/no-devices.json"},
                 "@DIR/no-devices.json:1:13: $.devices: no device configured"},
        BadInput{"ConfigNodeNotObject",
                 {"--config", "@DIR/node.json"},
                 "@DIR/node.json:1:39: $[0].device: expected the device node (a JSON object)"},
        BadInput{
            "PluginMissing",
            {"--plugin", "@DIR/kel36.so"},
            "cannot load plug-in @DIR/kel36.so: @DIR/kel36.so: cannot open shared object file"},
        // dlopen trusts the file: a FIFO would block it, a cut copy kill it by SIGBUS.
        BadInput{"PluginIsAFifo",
                 {"--plugin", "@DIR/fifo"},
                 "cannot load plug-in @DIR/fifo: a FIFO, not a regular file"},
        BadInput{"PluginTruncatedInItsHeader",
                 {"--plugin", "@DIR/header.so"},
                 "cannot load plug-in @DIR/header.so: truncated at 40 bytes: the ELF header "
                 "would end at byte 64"},
        BadInput{"PluginTruncatedCopy",
                 {"--plugin", "@DIR/half.so"},
                 "cannot load plug-in @DIR/half.so: truncated at "},
        BadInput{"PluginTruncatedSegments",
                 {"--plugin", "@DIR/segments.so"},
                 "cannot load plug-in @DIR/segments.so: truncated at 70000 bytes: segment "},
        // A bare name is a file here, never a library found by the search path.
        BadInput{"PluginNameWithoutSlash",
                 {"--plugin", "libc.so.6"},
                 "cannot load plug-in ./libc.so.6: ./libc.so.6: cannot open shared object file"},
        BadInput{"PluginWithoutEntry",
                 {"--plugin", KEL36_NO_PROVIDERS_PLUGIN},
                 std::string("plug-in ") + KEL36_NO_PROVIDERS_PLUGIN + " has no get_providers"},
        BadInput{"SameLineSameAddress",
                 {"--config", "@DIR/same-address.json"},
                 "@DIR/same-address.json: $[1]: device b has the same line @DIR/bus and address 65 "
                 "as a (@DIR/same-address.json: $[0]): their replies could not be told apart"},
        BadInput{"SecondPortMissing",
                 {"--config", "@DIR/second-port-missing.json"},
                 "device b: cannot open @DIR/ttyUSB9: No such file or directory"},
        BadInput{"PortMissing",
                 {"--port", "@DIR/ttyUSB9"},
                 "device kel36: cannot open @DIR/ttyUSB9: No such file or directory"},
        BadInput{"PortNotASerialLine",
                 {"--port", "/dev/null"},
                 "device kel36: /dev/null: not a serial line (not a terminal device)"},
        BadInput{"BadScenario",
                 {"--scenario", "@DIR/bad-scenario.json"},
                 "scenario: @DIR/bad-scenario.json: $.uab: expected a number"},
        BadInput{"CacheIsAFile",
                 {"--cache", "@DIR/cache-file"},
                 "cache @DIR/cache-file is not a directory"},
        // No silent fallbacks: an empty value is an error, and so are options
        // for simulated controllers when no device is simulated.
        BadInput{"EmptyPort",
                 {"--port", ""},
                 "--port: expected the path of a serial device, got an empty value"},
        BadInput{"EmptyPlugin",
                 {"--plugin", ""},
                 "--plugin: expected the path of the plug-in, got an empty value"},
        BadInput{"EmptyName", {"--name", ""}, "--name: expected a device name, got an empty value"},
        BadInput{"ScenarioWithoutSimulatedDevice",
                 {"--config", "@DIR/real.json", "--scenario", "@DIR/bad-scenario.json"},
                 "--scenario needs a simulated controller, and every device in @DIR/real.json "
                 "has a port (add --simulate)"},
        BadInput{"FaultWithoutSimulatedDevice",
                 {"--config", "@DIR/real.json", "--sim-fault", "drop=0.1"},
                 "--sim-fault needs a simulated controller, and every device in @DIR/real.json "
                 "has a port"},
        // Inputs are regular files of bounded size; nothing blocks or grows.
        BadInput{"ConfigIsADirectory",
                 {"--config", "@DIR"},
                 "cannot read configuration @DIR: a directory, not a regular file"},
        BadInput{"ConfigIsADevice",
                 {"--config", "/dev/zero"},
                 "cannot read configuration /dev/zero: a character device, not a regular file"},
        BadInput{"ConfigIsAFifo",
                 {"--config", "@DIR/fifo"},
                 "cannot read configuration @DIR/fifo: a FIFO, not a regular file"},
        BadInput{"ConfigTooLarge",
                 {"--config", "@DIR/big.json"},
                 "cannot read configuration @DIR/big.json: larger than 1 MiB"},
        BadInput{"ConfigNestedTooDeep",
                 {"--config", "@DIR/deep.json"},
                 "@DIR/deep.json: invalid JSON: nested deeper than 100 levels"},
        BadInput{"ScenarioIsAFifo",
                 {"--scenario", "@DIR/fifo"},
                 "scenario: @DIR/fifo: cannot read: a FIFO, not a regular file"},
        BadInput{"HistoryIsAFifo",
                 {"--history", "@DIR/fifo"},
                 "cannot open history file @DIR/fifo: a FIFO, not a regular file"},
        BadInput{"CacheFileIsADirectory",
                 {"--cache", "@DIR/cache-dir"},
                 "cache file @DIR/cache-dir/1.rec is a directory, not a regular file"},
        // Names print as themselves.
        BadInput{"NameWithEscape",
                 {"--name", "a\x1b[2J"},
                 "--name: the name contains a control character (U+001B) at byte 1"},
        BadInput{"NameWithNul",
                 {"--config", "@DIR/nul-name.json"},
                 "@DIR/nul-name.json:1:11: $[0].name: the name contains a control character "
                 "(U+0000) at byte 1"},
        BadInput{"NameWithNewline",
                 {"--config", "@DIR/newline-name.json"},
                 "@DIR/newline-name.json:1:11: $[0].name: the name contains a control character "
                 "(U+000A) at byte 1"},
        BadInput{"NameNotUtf8",
                 {"--config", "@DIR/latin1-name.json"},
                 "@DIR/latin1-name.json:1:11: $[0].name: the name is not valid UTF-8 at byte 2"},
        BadInput{"HistoryUnwritable",
                 {"--history", "@DIR/no/such/dir/h.jsonl"},
                 "cannot open history file @DIR/no/such/dir/h.jsonl: No such file or directory"}),
    [](const ::testing::TestParamInfo<BadInput>& info) { return std::string(info.param.name); });

TEST(BadDeviceNode, AnAddressTheJsonLibraryCannotTurnIntoTextIsReportedWithItsOrigin)
{
    TempDir dir;
    const std::string config = dir.write(
        "addr.json",
        "[{\"name\": \"a\", \"dataId\": 1, \"device\": {\"appSetting\": {\"addr\": [1]}}}]");
    const HostRun run = runHost({"--plugin", pluginPath(), "--config", config});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err.rfind("kel36-host: " + config + ": $[0]: the device refused its node: ", 0),
              0u)
        << run.err;
}

}  // namespace
}  // namespace toolstest
