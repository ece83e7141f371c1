// End-to-end soak on the paced line: kel36-sim on a pseudo-terminal models
// the line at its baud rate (request and reply characters take their time,
// replies arrive a character at a time) and injects every fault kind at
// seeded rates, replies late beyond the host's time-out and over-long ones
// among them; kel36-host polls it through the real plug-in, and this program
// reads the host's JSON lines and checks that
//   - both programs survive the whole run;
//   - every published record equals the scenario's (named quantities and raw
//     registers from the scenario, every other field as a clean line gives
//     it). A controller that echoes the register may publish a wrong record
//     only before the driver has confirmed it (decision 8's "auto"); a
//     controller that does not echo cannot be protected, so its wrong
//     records are counted and printed, not failed, except in a round whose
//     replies were all in order;
//   - every round ended the way its replies' faults allow (the faults are
//     replayed from the seed; see fault_ledger.h);
//   - the host's peak RSS after the first rounds and at the end differ by no
//     more than a small margin.
// It runs once with a controller that echoes and once with one that does not.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/json.h>

#include "child_process.h"
#include "fault_ledger.h"
#include "simulator.h"

namespace {

using namespace std::chrono_literals;

struct Settings {
    std::string host, sim, plugin, scenario, work_dir;
    bool own_work_dir = false;  // made here: removed again after a passed run
    uint64_t rounds = 1000;     // per controller
    uint64_t rss_mark = 0;      // 0: min(1000, rounds / 10)
    long rss_margin_kb = 512;
    int timeout_ms = 500;
    int interval_ms = 0;
    int baud = 115200;
    int turnaround_ms = 2;
    std::vector<kelsim::ReplyEcho> echoes = {kelsim::ReplyEcho::Register, kelsim::ReplyEcho::None};
    kelsim::Faults faults;
};

[[noreturn]] void usage(const std::string& why)
{
    std::cerr << "kel36_soak: " << why << "\n"
              << "usage: kel36_soak --host KEL36_HOST --sim KEL36_SIM --plugin KEL36_SO\n"
                 "         [--scenario FILE] [--rounds N] [--seed N] [--echo register|none|both]\n"
                 "         [--drop P] [--split P] [--overlong P] [--garble P] [--delay P]\n"
                 "         [--delay-ms MS] [--timeout MS] [--baud N] [--turnaround MS]\n"
                 "         [--rss-mark ROUNDS] [--rss-margin-kb KB] [--work DIR]\n"
                 "  --rounds: published rounds per controller\n"
                 "  --rss-margin-kb -1 turns the memory comparison off (sanitizer builds)\n";
    std::exit(2);
}

Settings parseArgs(int argc, char** argv)
{
    Settings s;
    // A noisy RS-485 line: about one round attempt in three stalls. Late
    // replies come 1250 ms after their request, while the host, with its
    // 500 ms time-out, already awaits register 0 of the next round (250 ms
    // margins on both sides, for a loaded machine).
    s.faults.seed = 1;
    s.faults.drop = 0.001;
    s.faults.split = 0.02;
    s.faults.overlong = 0.001;
    s.faults.garble = 0.0005;
    s.faults.delay = 0.002;
    s.faults.delay_ms = 1250;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc)
            usage(flag + " needs a value");
        const std::string value = argv[++i];
        auto number = [&] { return std::stod(value); };
        if (flag == "--host")
            s.host = value;
        else if (flag == "--sim")
            s.sim = value;
        else if (flag == "--plugin")
            s.plugin = value;
        else if (flag == "--scenario")
            s.scenario = value;
        else if (flag == "--work")
            s.work_dir = value;
        else if (flag == "--rounds")
            s.rounds = std::stoull(value);
        else if (flag == "--seed")
            s.faults.seed = std::stoull(value);
        else if (flag == "--drop")
            s.faults.drop = number();
        else if (flag == "--split")
            s.faults.split = number();
        else if (flag == "--overlong")
            s.faults.overlong = number();
        else if (flag == "--garble")
            s.faults.garble = number();
        else if (flag == "--delay")
            s.faults.delay = number();
        else if (flag == "--delay-ms")
            s.faults.delay_ms = std::stoi(value);
        else if (flag == "--timeout")
            s.timeout_ms = std::stoi(value);
        else if (flag == "--baud")
            s.baud = std::stoi(value);
        else if (flag == "--turnaround")
            s.turnaround_ms = std::stoi(value);
        else if (flag == "--rss-mark")
            s.rss_mark = std::stoull(value);
        else if (flag == "--rss-margin-kb")
            s.rss_margin_kb = std::stol(value);
        else if (flag == "--echo" && value == "register")
            s.echoes = {kelsim::ReplyEcho::Register};
        else if (flag == "--echo" && value == "none")
            s.echoes = {kelsim::ReplyEcho::None};
        else if (flag == "--echo" && value != "both")
            usage("--echo takes register, none or both");
        else if (flag != "--echo")
            usage("unknown option " + flag);
    }
    if (s.host.empty() || s.sim.empty() || s.plugin.empty())
        usage("--host, --sim and --plugin are required");
    if (s.timeout_ms <= 100)
        usage("--timeout must exceed 100 ms (the pauses of a split reply add up to 90 ms)");
    if (s.rss_mark == 0)
        s.rss_mark = std::min<uint64_t>(1000, std::max<uint64_t>(1, s.rounds / 10));
    if (s.work_dir.empty()) {
        char tmpl[] = "/tmp/kel36-soak.XXXXXX";
        if (!::mkdtemp(tmpl))
            usage("cannot create a work directory");
        s.work_dir = tmpl;
        s.own_work_dir = true;
    }
    return s;
}

std::string fmt(double v)
{
    std::ostringstream o;
    o << v;
    return o.str();
}

// A JSON value on one line, for messages.
std::string text(const Json::Value& v)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, v);
}

// What every published record must hold.
class ExpectedRecord {
public:
    ExpectedRecord(const kelsim::Scenario& scenario, const Json::Value& named)
        : scenario_(scenario), named_(named)
    {
    }

    // Checks a record against the scenario itself: raw byte registers, the
    // status bytes and the named quantities. Empty when it matches.
    std::string checkAgainstScenario(const Json::Value& record) const
    {
        for (const std::string& field : record.getMemberNames()) {
            if (field.rfind("reg", 0) != 0)
                continue;
            const int reg = std::stoi(field.substr(3));
            if (record[field].asDouble() != scenario_.registers[reg])
                return field + " = " + text(record[field]) + " but register " +
                       std::to_string(reg) + " holds " + std::to_string(scenario_.registers[reg]);
        }
        if (record["status_a"].asInt() != scenario_.registers[34] ||
            record["status_b"].asInt() != scenario_.registers[35])
            return "status bytes differ from registers 34/35";
        for (const char* name :
             {"uab", "ubc", "uca", "frequency", "ua", "ub", "uc", "battery_voltage"}) {
            if (!named_.isMember(name))
                continue;
            const double want = named_[name].asDouble();
            const double got = record[name].asDouble();
            if (std::fabs(want - got) > 0.005)
                return std::string(name) + " = " + fmt(got) + ", scenario says " + fmt(want);
        }
        return {};
    }

    void setReference(const Json::Value& record) { reference_ = withoutTime(record); }

    std::string check(const Json::Value& record) const
    {
        const Json::Value got = withoutTime(record);
        if (got == reference_)
            return {};
        for (const std::string& field : reference_.getMemberNames())
            if (!(got[field] == reference_[field]))
                return field + " = " + text(got[field]) + " expected " + text(reference_[field]);
        return "record fields differ";
    }

private:
    static Json::Value withoutTime(Json::Value record)
    {
        record.removeMember("ttime");
        return record;
    }

    kelsim::Scenario scenario_;
    Json::Value named_;
    Json::Value reference_;
};

// The "time" of a host event ("2026-12-09T06:27:32.455+0000", UTC), in ms.
double millisOf(const Json::Value& event)
{
    std::tm t{};
    int ms = 0;
    if (std::sscanf(event["time"].asCString(), "%d-%d-%dT%d:%d:%d.%d", &t.tm_year, &t.tm_mon,
                    &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec, &ms) != 7)
        throw std::runtime_error("host event without a time: " + event.toStyledString());
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<double>(::timegm(&t)) * 1000.0 + ms;
}

Json::Value parseLine(const std::string& line)
{
    static const std::unique_ptr<Json::CharReader> reader(
        Json::CharReaderBuilder().newCharReader());
    Json::Value v;
    std::string errors;
    if (!reader->parse(line.data(), line.data() + line.size(), &v, &errors))
        throw std::runtime_error("host printed a line that is not JSON: " + line);
    return v;
}

const char* echoName(kelsim::ReplyEcho echo)
{
    return echo == kelsim::ReplyEcho::Register ? "register" : "none";
}

std::vector<std::string> simArgs(const Settings& s, kelsim::ReplyEcho echo, bool with_faults)
{
    std::vector<std::string> a = {s.sim,
                                  "--pty",
                                  "--pace",
                                  "--baud",
                                  std::to_string(s.baud),
                                  "--turnaround",
                                  std::to_string(s.turnaround_ms),
                                  "--echo",
                                  echoName(echo)};
    if (!s.scenario.empty())
        a.insert(a.end(), {"--scenario", s.scenario});
    if (with_faults) {
        const kelsim::Faults& f = s.faults;
        a.insert(a.end(), {"--seed", std::to_string(f.seed), "--drop", fmt(f.drop), "--split",
                           fmt(f.split), "--overlong", fmt(f.overlong), "--garble", fmt(f.garble),
                           "--delay", fmt(f.delay), "--delay-ms", std::to_string(f.delay_ms)});
    }
    return a;
}

std::vector<std::string> hostArgs(const Settings& s, const std::string& port, uint64_t rounds)
{
    return {s.host,
            "--port",
            port,
            "--plugin",
            s.plugin,
            "--rounds",
            std::to_string(rounds),
            "--interval",
            std::to_string(s.interval_ms),
            "--timeout",
            std::to_string(s.timeout_ms),
            "--json"};
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct SimStats {
    bool found = false;
    unsigned long long requests = 0, other = 0, malformed = 0, replies = 0;
    unsigned long long dropped = 0, split = 0, overlong = 0, garbled = 0, delayed = 0;
};

SimStats parseSimStats(const std::string& text)
{
    SimStats st;
    std::istringstream in(text);
    std::string line;
    int seen = 0;
    while (std::getline(in, line)) {
        if (std::sscanf(
                line.c_str(),
                "kel36-sim: requests %llu (other address %llu), malformed %llu, replies %llu",
                &st.requests, &st.other, &st.malformed, &st.replies) == 4)
            ++seen;
        if (std::sscanf(line.c_str(),
                        "kel36-sim: faults injected: dropped %llu, split %llu, overlong %llu, "
                        "garbled %llu, delayed %llu",
                        &st.dropped, &st.split, &st.overlong, &st.garbled, &st.delayed) == 5)
            ++seen;
    }
    st.found = seen == 2;
    return st;
}

class Failures {
public:
    void add(const std::string& what)
    {
        if (count_++ < 20)
            std::cerr << "FAIL: " << what << "\n";
    }
    uint64_t count() const { return count_; }

private:
    uint64_t count_ = 0;
};

std::unique_ptr<soak::ChildProcess> startSim(const Settings& s, kelsim::ReplyEcho echo, bool faults,
                                             const std::string& log, std::string& port)
{
    auto sim = std::make_unique<soak::ChildProcess>(simArgs(s, echo, faults), log);
    const auto path = sim->readLine(10s);
    if (!path || path->empty())
        throw std::runtime_error("kel36-sim printed no pseudo-terminal path; see " + log);
    port = *path;
    return sim;
}

SimStats stopSim(soak::ChildProcess& sim, const std::string& log)
{
    sim.signal(SIGINT);
    const int status = sim.wait();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("kel36-sim did not exit cleanly; see " + log);
    return parseSimStats(readFile(log));
}

// A short clean run: the record as the driver builds it from this scenario.
Json::Value referenceRecord(const Settings& s, kelsim::ReplyEcho echo)
{
    std::string port;
    const std::string sim_log = s.work_dir + "/reference-sim-" + echoName(echo) + ".log";
    auto sim = startSim(s, echo, false, sim_log, port);
    soak::ChildProcess host(hostArgs(s, port, 3),
                            s.work_dir + "/reference-host-" + echoName(echo) + ".log");
    Json::Value record;
    while (auto line = host.readLine(30s)) {
        const Json::Value v = parseLine(*line);
        if (v["event"] == "stall")
            throw std::runtime_error("a round stalled on a clean line");
        if (v["event"] == "round")
            record = v["record"];
    }
    if (host.wait() != 0 || record.isNull())
        throw std::runtime_error("the clean reference run failed; see " + s.work_dir);
    stopSim(*sim, sim_log);
    return record;
}

Json::Value namedQuantities(const Settings& s)
{
    if (s.scenario.empty())
        return Json::Value(Json::objectValue);
    Json::Value v;
    std::ifstream in(s.scenario);
    in >> v;
    return v;
}

// Wrong records of one controller, by what may have misaligned their replies.
struct WrongRecords {
    uint64_t total = 0;
    uint64_t before_confirmation = 0;  // echoing controller, driver not yet confirmed
    std::map<std::string, uint64_t> by_cause;
};

// One faulty run against one controller. Returns the number of failures.
uint64_t runController(const Settings& s, kelsim::ReplyEcho echo, const kelsim::Scenario& scenario,
                       ExpectedRecord& expected)
{
    const bool echoes = echo == kelsim::ReplyEcho::Register;
    const std::string name = echoName(echo);
    Failures failures;
    const Json::Value reference = referenceRecord(s, echo);
    if (const std::string why = expected.checkAgainstScenario(reference); !why.empty())
        failures.add("clean-line record: " + why);
    expected.setReference(reference);

    std::string port;
    const std::string sim_log = s.work_dir + "/sim-" + name + ".log";
    const std::string host_log = s.work_dir + "/host-" + name + ".log";
    auto sim = startSim(s, echo, true, sim_log, port);
    soak::ChildProcess host(hostArgs(s, port, s.rounds), host_log);
    soak::FaultLedger ledger({s.faults, echo, s.timeout_ms}, scenario);
    uint64_t rounds = 0, stalls = 0;
    WrongRecords wrong;
    long host_rss_mark = 0, sim_rss_mark = 0, host_rss_last = 0;
    Json::Value summary;
    const auto started = std::chrono::steady_clock::now();

    // A stalled round may take two time-outs; far longer without a line is a hang.
    const auto silence = std::chrono::milliseconds(10 * s.timeout_ms + 30000);
    std::ofstream host_lines(s.work_dir + "/host-" + name + ".jsonl");
    while (auto line = host.readLine(silence)) {
        host_lines << *line << "\n";
        const Json::Value v = parseLine(*line);
        const std::string event = v["event"].asString();
        if (event == "round") {
            ++rounds;
            const std::string label = name + " round " + std::to_string(rounds);
            const std::string why = expected.check(v["record"]);
            const bool confirmed_before = ledger.confirmed();
            const soak::RoundVerdict verdict =
                ledger.round(soak::Outcome::Completed, -1, why.empty(), millisOf(v));
            if (!verdict.consistent)
                failures.add(label + ": " + verdict.why);
            if (!why.empty()) {
                if (verdict.exact)
                    failures.add(label + ": " + why + " (its replies all came in order)");
                else if (echoes && confirmed_before)
                    failures.add(label + ": " + why +
                                 " (the driver had confirmed the echoing controller)");
                ++wrong.total;
                wrong.before_confirmation += echoes && !confirmed_before;
                ++wrong.by_cause[verdict.cause];
            }
            if (rounds == s.rss_mark) {
                host_rss_mark = host.peakRssKb();
                sim_rss_mark = sim->peakRssKb();
            }
            // Read like the mark, while the host still runs (it only prints
            // its summary after this round).
            if (rounds == s.rounds)
                host_rss_last = host.peakRssKb();
            if (rounds % 1000 == 0)
                std::cerr << "soak: " << name << ": " << rounds << " rounds, " << stalls
                          << " stalls, " << wrong.total << " wrong records\n";
        } else if (event == "stall") {
            ++stalls;
            const auto outcome =
                v["reason"] == "no_reply" ? soak::Outcome::NoReply : soak::Outcome::Refused;
            const soak::RoundVerdict verdict =
                ledger.round(outcome, v["register"].asInt(), true, millisOf(v));
            if (!verdict.consistent)
                failures.add(name + " stall " + std::to_string(stalls) + " (after round " +
                             std::to_string(rounds) + "): " + verdict.why);
        } else if (event == "summary") {
            summary = v;
        }
    }
    if (host.timedOut())
        failures.add("kel36-host printed nothing for " + std::to_string(silence.count()) + " ms");
    const long sim_rss_end = sim->peakRssKb();
    long host_rss_exit = 0;
    const int host_status = host.wait(&host_rss_exit);
    // The kernel's exit figure counts a little differently from VmHWM; it is
    // only the fallback when the host was gone before the last read.
    const long host_rss_end = host_rss_last > 0 ? host_rss_last : host_rss_exit;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!WIFEXITED(host_status) || WEXITSTATUS(host_status) != 0)
        failures.add("kel36-host ended with status " + std::to_string(host_status) + "; see " +
                     host_log);
    const SimStats sim_stats = stopSim(*sim, sim_log);

    if (rounds != s.rounds)
        failures.add(std::to_string(rounds) + " rounds published, " + std::to_string(s.rounds) +
                     " asked for");
    if (summary["rounds"].asUInt64() != rounds || summary["stalls"].asUInt64() != stalls)
        failures.add("host summary disagrees with its round and stall lines");
    const soak::FaultTotals& t = ledger.totals();
    if (!sim_stats.found)
        failures.add("no statistics from kel36-sim");
    else if (sim_stats.requests != t.requests || sim_stats.dropped != t.dropped ||
             sim_stats.split != t.split || sim_stats.overlong != t.overlong ||
             sim_stats.garbled != t.garbled || sim_stats.delayed != t.delayed)
        failures.add(
            "the simulator's fault counts differ from the replayed decisions "
            "(requests " +
            std::to_string(sim_stats.requests) + " vs " + std::to_string(t.requests) + ")");
    if (stalls != ledger.mustStall() + ledger.ambiguousStalled())
        failures.add("stalls " + std::to_string(stalls) + " != rounds that must stall " +
                     std::to_string(ledger.mustStall()) + " + ambiguous rounds that stalled " +
                     std::to_string(ledger.ambiguousStalled()));
    const long growth = host_rss_end - host_rss_mark;
    if (s.rss_margin_kb >= 0 && (host_rss_mark <= 0 || growth > s.rss_margin_kb))
        failures.add("host peak RSS " + std::to_string(host_rss_mark) + " KiB after " +
                     std::to_string(s.rss_mark) + " rounds, " + std::to_string(host_rss_end) +
                     " KiB at the end (margin " + std::to_string(s.rss_margin_kb) + " KiB)");

    const char* who = echoes ? "controller echoes the register (--echo register)"
                             : "controller does not echo (--echo none)";
    std::printf("soak: %s\n", who);
    std::printf(
        "soak: seed %llu, rates drop %g split %g overlong %g garble %g delay %g (%d ms), "
        "time-out %d ms, paced at %d baud, turnaround %d ms\n",
        static_cast<unsigned long long>(s.faults.seed), s.faults.drop, s.faults.split,
        s.faults.overlong, s.faults.garble, s.faults.delay, s.faults.delay_ms, s.timeout_ms, s.baud,
        s.turnaround_ms);
    std::printf("soak: %llu rounds published, %llu stalls in %.0f s; records checked: %llu\n",
                static_cast<unsigned long long>(rounds), static_cast<unsigned long long>(stalls),
                seconds, static_cast<unsigned long long>(rounds));
    std::printf(
        "soak: replies asked %llu; injected dropped %llu, split %llu, overlong %llu, "
        "garbled %llu, delayed %llu (late replies reaching the next round %llu)\n",
        static_cast<unsigned long long>(t.requests), static_cast<unsigned long long>(t.dropped),
        static_cast<unsigned long long>(t.split), static_cast<unsigned long long>(t.overlong),
        static_cast<unsigned long long>(t.garbled), static_cast<unsigned long long>(t.delayed),
        static_cast<unsigned long long>(ledger.lateReplies()));
    std::printf(
        "soak: rounds whose faults must stall them %llu, ambiguous %llu (stalled %llu), "
        "stalls seen %llu\n",
        static_cast<unsigned long long>(ledger.mustStall()),
        static_cast<unsigned long long>(ledger.ambiguous()),
        static_cast<unsigned long long>(ledger.ambiguousStalled()),
        static_cast<unsigned long long>(stalls));
    std::printf("soak: wrong records published: %llu",
                static_cast<unsigned long long>(wrong.total));
    if (echoes)
        std::printf(" (before the driver confirmed the controller: %llu)",
                    static_cast<unsigned long long>(wrong.before_confirmation));
    const char* separator = "; ";
    for (const auto& [cause, count] : wrong.by_cause) {
        std::printf("%s%llu after %s", separator, static_cast<unsigned long long>(count),
                    cause.c_str());
        separator = ", ";
    }
    std::printf("\n");
    std::printf(
        "soak: kel36-host peak RSS %ld KiB after %llu rounds, %ld KiB at the end; "
        "kel36-sim %ld / %ld KiB\n",
        host_rss_mark, static_cast<unsigned long long>(s.rss_mark), host_rss_end, sim_rss_mark,
        sim_rss_end);
    std::fflush(stdout);
    return failures.count();
}

int run(const Settings& s)
{
    const kelsim::Scenario scenario =
        s.scenario.empty() ? kelsim::defaultScenario() : kelsim::loadScenarioFile(s.scenario);
    ExpectedRecord expected(scenario, namedQuantities(s));
    uint64_t failures = 0;
    for (const kelsim::ReplyEcho echo : s.echoes)
        failures += runController(s, echo, scenario, expected);
    if (s.rss_margin_kb < 0)
        std::printf(
            "soak: peak RSS not compared (sanitizer build: the allocator's quarantine "
            "grows by design; LeakSanitizer checks for leaks at exit)\n");
    if (failures == 0 && s.own_work_dir) {
        std::error_code ignored;
        std::filesystem::remove_all(s.work_dir, ignored);
        std::printf("soak: passed\n");
        return 0;
    }
    std::printf("soak: %s (%llu failures; logs in %s)\n", failures ? "FAILED" : "passed",
                static_cast<unsigned long long>(failures), s.work_dir.c_str());
    return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const Settings settings = parseArgs(argc, argv);
    try {
        return run(settings);
    } catch (const std::exception& e) {
        std::cerr << "kel36_soak: " << e.what() << "\n";
        return 1;
    }
}
