#pragma once
// Driver for one Kel36 engine-driven generator-set controller on a serial line.

#include <cstdint>
#include <string>

#include "framework.h"
#include "kel36/kel36_data.h"
#include "kel36/reply_echo.h"
#include "unidata/uni_data_device.h"

class Kel36 : public UniDataDevice<Kel36_Data_t, ZRNSPDevice, 5058> {
public:
    static constexpr unsigned kRegisterCount = 65;
    static constexpr unsigned kFrameLength = 7;
    static constexpr unsigned kReplyLength = 4;
    // Replies stored in one round: registers 0, 2..50 and 52..64.
    static constexpr unsigned kRepliesPerRound = 63;

    Kel36();
    ~Kel36() override;

    float Get_Value(unsigned int index, const std::string& name) const override;
    int InitSetting(const Json::Value& config) override;
    int RefreshStatus() override;
    int process(unsigned char* data, unsigned int len) override;
    void RunCheckThreshold() override;

    uint8_t addr_ = 0x41;
    char cmd_table_[kRegisterCount][8];
    uint8_t xor_mask_ = 0x9E;
    uint8_t lo_r2_ = 0;
    uint8_t lo_r3_ = 0;
    uint8_t lo_r4_ = 0;
    uint8_t lo_r42_ = 0;
    uint8_t lo_r43_ = 0;
    uint8_t lo_r44_ = 0;
    uint8_t lo_r58_ = 0;
    // Whole part of the frequency, held from step 8 until step 9 writes the
    // field, so a lookup never sees half a value.
    uint8_t freq_whole_ = 0;
    // Set once step 64 has published the round; a stray reply after that must
    // not publish it again.
    bool round_complete_ = false;
    // "appSetting"/"replyEcho", read by InitSetting.
    kel36::ReplyEcho reply_echo_ = kel36::ReplyEcho::Auto;
    // Auto only: a whole round of echoing replies has shown that this
    // controller names the register it answers, so from now on every reply
    // must. Only InitSetting clears it.
    bool echo_confirmed_ = false;
    // Replies of this round whose bytes 2-3 named the awaited register.
    uint32_t echoed_replies_in_round_ = 0;

private:
    void buildRequestTable();
    void sendRequest(unsigned reg);
    bool awaitsReply() const;
    bool echoesAwaitedRegister() const;
    bool echoRequired() const;
    int applyStep(uint8_t value);
};
