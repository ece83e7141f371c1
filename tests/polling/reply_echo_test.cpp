// Replies that echo the register they answer ("appSetting"/"replyEcho"),
// through kel36.so loaded the way the host loads it: when a reply for another
// register stalls the round, when bytes 2-3 are left alone, and that a line
// whose replies slip by one register never publishes a shifted record.

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "plugin_fixture.h"

using namespace polltest;

namespace {

class ReplyEcho : public PluginDeviceTest {
protected:
    // InitSetting with "replyEcho" set to `mode`, or without it.
    void configureEcho(const Json::Value& mode = Json::Value())
    {
        Json::Value app(Json::objectValue);
        if (!mode.isNull())
            app["replyEcho"] = mode;
        configure(app);
    }

    // A new device, as the host would create for another controller.
    void replaceDevice()
    {
        device_ = plugin_.createDevice();
        kelhost::attachObserver(*device_, &log_);
        serial_ = dynamic_cast<ZRNSPDevice*>(device_.get());
        ASSERT_NE(serial_, nullptr);
    }

    void runEchoingRound(const RegisterImage& image, const std::string& context)
    {
        const std::vector<int> results = runRound(*serial_, image, Tail::Echo);
        ASSERT_EQ(results.back(), 0) << context;
        ASSERT_EQ(count("SendSP"), 1u) << context;
        log_.clear();
    }

    // Echoing replies for the steps from `from_step` on, except that the one
    // at `odd_step` carries bytes 2-3 that name no register.
    void feedEchoing(const RegisterImage& image, unsigned from_step, unsigned odd_step = 0,
                     bool lower = false)
    {
        for (unsigned s : roundSteps()) {
            const unsigned reg = registerOfStep(s);
            if (s >= from_step)
                feedBytes(s == odd_step ? reply(image[reg]) : echoReply(image[reg], reg, lower));
        }
    }

    // Whether a reply whose bytes 2-3 name no register stalls the first step
    // of a new round; the round is left started.
    bool firstReplyMustEcho()
    {
        serial_->RefreshStatus();
        log_.clear();
        return feedBytes(reply(0x12)) == 0;
    }

    // The reply `text` at `step` stalls the round the way a garbled reply
    // does: refused, Reset, no request, nothing published, step kept.
    void expectStall(const std::string& text, unsigned step, const std::string& context)
    {
        log_.clear();
        EXPECT_EQ(feedBytes(text), 0) << context;
        EXPECT_EQ(count("Reset"), 1u) << context;
        EXPECT_EQ(count("SendData"), 0u) << context;
        EXPECT_EQ(count("SendSP"), 0u) << context << ": round completion ran";
        EXPECT_EQ(count("get_ttime"), 0u) << context;
        EXPECT_EQ(serial_->poll_step_, step) << context;
        EXPECT_EQ(serial_->rx_len_, 0u) << context;
    }

    // Every published record holds exactly the image's values.
    void expectPublishedOnly(const RegisterImage& image, std::size_t rounds,
                             const std::string& context)
    {
        const auto sends = log_.callsOf("SendSP");
        EXPECT_EQ(sends.size(), rounds) << context;
        const RecordBytes want = expectedRecord(image, device_->data_id_);
        for (const auto& send : sends)
            for (const FieldSpec& field : recordFields())
                if (field.kind != Kind::Time) {
                    EXPECT_EQ(describe(field, send.bytes.data()), describe(field, want.data()))
                        << context << ": " << field.name;
                }
    }

    // A controller on the line: every request the driver sends is answered,
    // byte by byte, with the echoing reply of that register. `late` arrives
    // ahead of everything (the previous round's last reply, after the host
    // gave up on it); the reply of `overlong_reg` carries one extra digit.
    void runLine(const RegisterImage& image, const std::string& late, unsigned overlong_reg)
    {
        log_.clear();
        serial_->RefreshStatus();
        std::string line = late;
        std::size_t answered = 0;
        for (std::size_t at = 0;; ++at) {
            const std::vector<std::string> frames = sentFrames();
            for (; answered < frames.size(); ++answered) {
                const unsigned reg = std::stoul(frames[answered].substr(5, 2), nullptr, 16) ^ kMask;
                line += echoReply(image[reg], reg) + (reg == overlong_reg ? "7" : "");
            }
            if (at >= line.size())
                break;
            feedBytes(line.substr(at, 1));
        }
    }
};

// A late reply and the register it then pretends to answer. The middle step
// adds to a digit sum, so a refused reply that was stored anyway would still
// show in the record once the awaited reply has been added.
class AfterConfirmation : public ReplyEcho, public ::testing::WithParamInterface<unsigned> {};

TEST_P(AfterConfirmation, AReplyForAnotherRegisterStallsAndStoresNothing)
{
    const unsigned step = GetParam();
    const unsigned previous = registerOfStep(step == 52 ? 50 : step - 1);
    const std::string late = echoReply(0x77, previous);
    const RegisterImage image = distinctImage();
    configureEcho();

    // Unconfirmed, "auto" takes the reply as the literal protocol does.
    serial_->RefreshStatus();
    feedUntil(*serial_, image, step, Tail::Echo);
    EXPECT_EQ(feedBytes(late), step == kLastStep ? 0 : 1);
    EXPECT_EQ(count("Reset"), step == kLastStep ? 1u : 0u) << "only round completion resets";

    log_.clear();
    runEchoingRound(image, "confirming round");
    serial_->RefreshStatus();
    feedUntil(*serial_, image, step, Tail::Echo);
    expectStall(late, step, "confirmed, step " + std::to_string(step));

    // The awaited reply still completes the round, untouched by the refused one.
    log_.clear();
    feedEchoing(image, step);
    expectPublishedOnly(image, 1, "round resumed after the refused reply");
}

INSTANTIATE_TEST_SUITE_P(MiddleAndLastStep, AfterConfirmation, ::testing::Values(16u, kLastStep));

TEST_F(ReplyEcho, ConfirmationTakesOneWholeRoundOfEchoingReplies)
{
    const RegisterImage image = filledImage(0x3B);
    auto round = [&](unsigned odd_step, bool lower = false) {
        serial_->RefreshStatus();
        feedEchoing(image, 1, odd_step, lower);
    };
    struct Case {
        const char* what;
        std::function<void()> run;
        bool confirmed;
    };
    const std::vector<Case> cases = {
        {"every reply echoes", [&] { round(0); }, true},
        {"every reply echoes in lower case", [&] { round(0, true); }, true},
        {"the last reply does not echo", [&] { round(kLastStep); }, false},
        {"the first reply does not echo", [&] { round(1); }, false},
        {"an echoing start, then a new round with one reply that does not echo",
         [&] {
             serial_->RefreshStatus();
             feedBytes(echoReply(image[0], 0));
             round(30);
         },
         false},
        {"InitSetting after an echoing round",
         [&] {
             round(0);
             configureEcho();
         },
         false},
        {"InitSetting in the middle of an echoing round",
         [&] {
             serial_->RefreshStatus();
             feedUntil(*serial_, image, 30, Tail::Echo);
             configureEcho();
             feedEchoing(image, 30);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        replaceDevice();
        configureEcho("auto");
        c.run();
        EXPECT_EQ(firstReplyMustEcho(), c.confirmed);
        // Confirmation lasts: a stall does not undo it, nor do later rounds.
        if (c.confirmed) {
            runEchoingRound(image, "round after the stall");
            EXPECT_TRUE(firstReplyMustEcho());
        }
    }
}

TEST_F(ReplyEcho, SettingSelectsTheMode)
{
    struct Case {
        Json::Value setting;
        bool on;
    };
    Json::Value object(Json::objectValue);
    object["on"] = true;
    Json::Value array(Json::arrayValue);
    array.append("on");
    const Case cases[] = {
        {"on", true},  {"off", false}, {"auto", false}, {Json::Value(), false},
        {"ON", false}, {"", false},    {"onn", false},  {1, false},
        {true, false}, {array, false}, {object, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting.toStyledString());
        replaceDevice();
        configureEcho(c.setting);
        EXPECT_EQ(firstReplyMustEcho(), c.on) << "a new device, before any round";
    }
    // "on" stalls from the first reply, and an echoing controller runs normally.
    replaceDevice();
    configureEcho("on");
    ASSERT_TRUE(firstReplyMustEcho());
    EXPECT_EQ(feedBytes(echoReply(0x12, 0)), 1) << "the awaited reply after the refused one";
    EXPECT_EQ(sentFrames(), std::vector<std::string>{frame(0x41, 2)});
    runEchoingRound(distinctImage(), "\"on\" with an echoing controller");
}

TEST_F(ReplyEcho, OffAndANonEchoingControllerNeverStallOnBytesTwoAndThree)
{
    const RegisterImage image = distinctImage();
    // Bytes 2-3 that are no echo: fixed, another register's, not hex at all.
    const std::vector<std::function<std::string(unsigned)>> tails = {
        [&](unsigned reg) { return reply(image[reg]); },
        [&](unsigned reg) { return echoReply(image[reg], reg == 64 ? 0 : reg + 1); },
        [&](unsigned reg) { return reply(image[reg], "zz"); },
    };
    for (const char* mode : {"off", "auto"}) {
        SCOPED_TRACE(mode);
        replaceDevice();
        configureEcho(mode);
        // "off" must ignore an echoing round that would confirm "auto".
        if (std::string(mode) == "off")
            runEchoingRound(image, "echoing round");
        for (const auto& replyFor : tails) {
            serial_->RefreshStatus();
            for (unsigned s : roundSteps())
                EXPECT_EQ(feedBytes(replyFor(registerOfStep(s))), s == kLastStep ? 0 : 1)
                    << "step " << s;
        }
        expectPublishedOnly(image, 3, "rounds without echo");
        log_.clear();
    }
}

TEST_F(ReplyEcho, ShiftedRepliesAreNeverPublishedOnceConfirmed)
{
    const RegisterImage previous = filledImage(0x3B);
    const RegisterImage image = distinctImage();
    struct Fault {
        const char* what;
        std::string late;
        unsigned overlong_reg;
    };
    const Fault faults[] = {
        {"a late reply ahead of the round", echoReply(previous[64], 64), 99},
        {"an over-long reply at register 20", "", 20},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.what);
        // The literal reading publishes the shifted round: the fault is real.
        replaceDevice();
        configureEcho("off");
        runLine(image, f.late, f.overlong_reg);
        const auto shifted = log_.callsOf("SendSP");
        ASSERT_EQ(shifted.size(), 1u);
        const RecordBytes want = expectedRecord(image, 0);
        EXPECT_FALSE(
            std::equal(want.begin() + 4, want.begin() + kTimeOffset, shifted[0].bytes.begin() + 4))
            << "the line did not shift the round";

        replaceDevice();
        configureEcho();
        runEchoingRound(previous, "confirming round");
        runLine(image, f.late, f.overlong_reg);
        // The late reply is refused and the round goes on with the awaited one;
        // the over-long reply's tail stalls the round.
        expectPublishedOnly(image, f.late.empty() ? 0 : 1, "confirmed");
    }
}

}  // namespace
