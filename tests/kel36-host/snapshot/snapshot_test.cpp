// `kel36-host snapshot`: a controller snapshotted on the paced line and played
// back by kel36-sim publishes the same record as the original; a controller
// that never completes a round leaves no file.

#include <gtest/gtest.h>
#include <json/reader.h>
#include <sys/stat.h>

#include <sstream>

#include "../sim/sim_process.h"
#include "host_process.h"

namespace {

using namespace std::chrono_literals;
using SimTool = kelsim::testing::Tool;
using toolstest::HostRun;
using toolstest::TempDir;

bool exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// The record of one round polled from the controller on `port`, without its
// time stamp: bytes 0-92, field by field.
Json::Value publishedRecord(const std::string& port)
{
    const HostRun run = toolstest::runHost({"--port", port, "--rounds", "1", "--json"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const std::vector<Json::Value> rounds = run.events("round");
    if (rounds.empty())
        return Json::Value();
    Json::Value record = rounds.front()["record"];
    record.removeMember("ttime");
    return record;
}

TEST(Snapshot, PlayedBackControllerPublishesTheSameRecord)
{
    TempDir dir;
    const std::string scenario = dir.file("clone.json");
    SimTool original({"--pty", "--pace", "--scenario",
                      toolstest::examplePath("scenario-alarms.json"), "--duration", "30"});
    const std::string port = original.firstLine();
    ASSERT_EQ(port.rfind("/dev/", 0), 0u) << port;

    const HostRun snap = toolstest::runHost({"snapshot", "--port", port, "-o", scenario});
    ASSERT_EQ(snap.exit_code, 0) << snap.err;
    EXPECT_NE(snap.out.find("63 registers, every reply echoed its register field"),
              std::string::npos)
        << snap.out;
    EXPECT_FALSE(exists(scenario + ".partial"));
    Json::Value written;
    std::string errors;
    std::istringstream text(toolstest::readFile(scenario));
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), text, &written, &errors)) << errors;
    EXPECT_EQ(written["registers"].size(), 63u);
    EXPECT_FALSE(written["registers"].isMember("1") || written["registers"].isMember("51"));

    const Json::Value expected = publishedRecord(port);
    ASSERT_TRUE(expected.isMember("status_a")) << "the original published a record";
    EXPECT_NE(expected["status_a"].asInt(), 0) << "an alarm scenario, not the default one";
    SimTool clone({"--pty", "--pace", "--scenario", scenario, "--duration", "30"});
    const std::string clone_port = clone.firstLine();
    ASSERT_EQ(clone_port.rfind("/dev/", 0), 0u) << clone_port;
    EXPECT_EQ(publishedRecord(clone_port), expected);
}

TEST(Snapshot, NoRoundOrNoFileIsAFailureWithNothingWritten)
{
    TempDir dir;
    const std::string scenario = dir.file("none.json");
    SimTool elsewhere({"--pty", "--address", "7", "--duration", "30"});  // 65 never answers
    const std::string port = elsewhere.firstLine();
    ASSERT_EQ(port.rfind("/dev/", 0), 0u) << port;

    const HostRun silent =
        toolstest::runHost({"snapshot", "--port", port, "--timeout", "2", "-o", scenario}, 20s);
    EXPECT_EQ(silent.exit_code, 1);
    EXPECT_NE(silent.err.find("snapshot: no round completed within 2 s; " + scenario +
                              " not written"),
              std::string::npos)
        << silent.err;
    EXPECT_FALSE(exists(scenario) || exists(scenario + ".partial"));

    // A path that cannot be written is refused before polling.
    const HostRun unwritable = toolstest::runHost(
        {"snapshot", "--port", port, "-o", dir.file("missing/dir/x.json")}, 5s);
    EXPECT_EQ(unwritable.exit_code, 2);
    EXPECT_NE(unwritable.err.find("snapshot: cannot create"), std::string::npos) << unwritable.err;
    const HostRun no_output = toolstest::runHost({"snapshot", "--port", port}, 5s);
    EXPECT_EQ(no_output.exit_code, 2);
    EXPECT_NE(no_output.err.find("expected -o FILE"), std::string::npos) << no_output.err;
}

}  // namespace
