// --check: the plug-in's device type, data identifier, baud rate and the 65
// request frames, each compared with the protocol's own frame.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "host_process.h"

namespace toolstest {
namespace {

// The protocol's request frame, written out independently of the tool.
std::string protocolFrame(unsigned address, unsigned reg)
{
    char frame[8];
    std::snprintf(frame, sizeof frame, "|%02X%02X%02X", address ^ 0x9E, 0x9E ^ 0xC8, 0x9E ^ reg);
    return frame;
}

std::vector<std::string> frameLines(const std::string& out)
{
    std::vector<std::string> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (line.size() > 12 && line.compare(0, 2, "  ") == 0 && line[6] == '|')
            lines.push_back(line);
    return lines;
}

TEST(PluginCheck, ListsTheDevicesSettingsAndAll65FramesOfTheDefaultAddress)
{
    const HostRun run = runHost({"--plugin", pluginPath(), "--check"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("device type    kel36\n"), std::string::npos);
    EXPECT_NE(run.out.find("data id        1\n"), std::string::npos);
    EXPECT_NE(run.out.find("baud rate      19200\n"), std::string::npos);
    EXPECT_NE(run.out.find("address        0x41 (65)"), std::string::npos);
    EXPECT_NE(run.out.find("dry round      63 requests"), std::string::npos);
    EXPECT_NE(run.out.find("record         100 bytes, data id 1\n"), std::string::npos);
    EXPECT_NE(run.out.find("plug-in usable\n"), std::string::npos);

    const auto lines = frameLines(run.out);
    ASSERT_EQ(lines.size(), 65u) << run.out;
    for (unsigned reg = 0; reg < 65; ++reg) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "  %2u  %s  %s", reg,
                      protocolFrame(0x41, reg).c_str(),
                      (reg == 1 || reg == 51) ? "not polled" : "polled");
        EXPECT_EQ(lines[reg], expected);
    }
}

TEST(PluginCheck, UsesTheConfiguredAddressAndDataIdentifier)
{
    const HostRun run =
        runHost({"--plugin", pluginPath(), "--check", "--addr", "7.9", "--data-id", "4242"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("data id        4242\n"), std::string::npos);
    EXPECT_NE(run.out.find("address        0x07 (7)"), std::string::npos);
    EXPECT_EQ(run.out.find("note:"), std::string::npos) << "host and driver read the address alike";
    const auto lines = frameLines(run.out);
    ASSERT_EQ(lines.size(), 65u);
    EXPECT_EQ(lines[0].substr(6, 7), "|99569E");
    EXPECT_EQ(lines[64].substr(6, 7), protocolFrame(7, 64));
}

TEST(PluginCheck, APluginWithoutEntryPointIsReportedUnusable)
{
    const HostRun run = runHost({"--plugin", KEL36_NO_PROVIDERS_PLUGIN, "--check"});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_NE(run.err.find("has no get_providers"), std::string::npos) << run.err;
}

TEST(PluginCheck, FindsTheBuiltPluginWithoutBeingTold)
{
    const HostRun run = runHost({"--check"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("plug-in        "), std::string::npos);
    EXPECT_NE(run.out.find("kel36.so (1 provider)"), std::string::npos);
}

}  // namespace
}  // namespace toolstest
