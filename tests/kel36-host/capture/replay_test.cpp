// A capture of a paced line with faults, played back by kel36-sim --replay to
// a second kel36-host: the same records and the same stalls, in the same order.

#include <gtest/gtest.h>

#include "../sim/sim_process.h"
#include "host_process.h"

namespace {

using SimTool = kelsim::testing::Tool;
using toolstest::HostRun;

// The run as a sequence: each record without its time stamp, each stall with
// its reason, register and step.
std::vector<std::string> outcome(const HostRun& run)
{
    std::vector<std::string> seen;
    for (const Json::Value& line : run.jsonLines()) {
        const std::string event = line["event"].asString();
        if (event == "round") {
            Json::Value record = line["record"];
            record.removeMember("ttime");
            seen.push_back("record " + record.toStyledString());
        } else if (event == "stall") {
            seen.push_back("stall " + line["reason"].asString() + " register " +
                           line["register"].asString() + " step " + line["step"].asString());
        }
    }
    return seen;
}

HostRun poll(const std::string& port, const std::vector<std::string>& extra)
{
    std::vector<std::string> args{"--port",    port, "--rounds", "12", "--interval", "0",
                                  "--timeout", "150", "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return toolstest::runHost(args, std::chrono::seconds(60));
}

TEST(Replay, CapturedFaultyLinePlaysBackToTheSameRecordsAndStalls)
{
    toolstest::TempDir dir;
    const std::string capture = dir.file("site.pcapng");
    // Late replies stay within the time-out, so no tail races the next
    // request; the other faults stall a round or corrupt a value.
    SimTool site({"--pty", "--pace", "--seed", "11", "--drop", "0.003", "--garble", "0.003",
                  "--overlong", "0.003", "--split", "0.02", "--delay", "0.02", "--delay-ms", "40",
                  "--scenario", toolstest::examplePath("scenario-alarms.json"), "--duration",
                  "60"});
    const std::string site_port = site.firstLine();
    ASSERT_EQ(site_port.rfind("/dev/", 0), 0u) << site_port;
    const HostRun captured = poll(site_port, {"--capture", capture});
    ASSERT_EQ(captured.exit_code, 0) << captured.err;
    const std::vector<std::string> expected = outcome(captured);
    ASSERT_FALSE(captured.events("stall").empty()) << "the faults made no stall";
    ASSERT_FALSE(captured.events("round").empty());

    SimTool bench({"--pty", "--replay", capture, "--at-end", "silent", "--duration", "60"});
    const std::string bench_port = bench.firstLine();
    ASSERT_EQ(bench_port.rfind("/dev/", 0), 0u) << bench_port;
    const HostRun replayed = poll(bench_port, {});
    ASSERT_EQ(replayed.exit_code, 0) << replayed.err;
    EXPECT_EQ(outcome(replayed), expected);
}

}  // namespace
