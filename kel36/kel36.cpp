#include "kel36/kel36.h"

#include <cstdio>

#include "kel36/address.h"

Kel36::Kel36()
{
    device_type_ = "kel36";
    baud_rate_ = 19200;
    port_setting_ = 2;
    // Built from the default address as well, so a round started before any
    // configuration still sends valid frames.
    buildRequestTable();
}

Kel36::~Kel36() = default;

int Kel36::InitSetting(const Json::Value& config)
{
    writeDataId();
    // A missing "replyEcho" is the default, like any value this driver
    // cannot read; only "on" and "off" choose otherwise.
    kel36::ReplyEcho echo = kel36::ReplyEcho::Auto;
    if (config.isObject()) {
        const Json::Value& app = config["appSetting"];
        if (app.isObject()) {
            const Json::Value& addr = app["addr"];
            if (!addr.isNull())
                addr_ = kel36::addressFromText(addr.asString().c_str());
            echo = kel36::replyEchoFromSetting(app["replyEcho"]);
        }
    }
    // Set only now: a node whose "addr" the JSON library refuses leaves the
    // echo setting and its confirmation, like the address and the frames, as
    // they were. A reconfigured device may face another controller, so it
    // must show again that its replies echo.
    reply_echo_ = echo;
    echo_confirmed_ = false;
    echoed_replies_in_round_ = 0;
    buildRequestTable();
    return 1;
}

int Kel36::RefreshStatus()
{
    ZRNSPDevice::RefreshStatus();
    poll_step_ = 1;
    round_complete_ = false;
    echoed_replies_in_round_ = 0;
    sendRequest(0);
    return 1;
}

void Kel36::buildRequestTable()
{
    const unsigned address = addr_ ^ xor_mask_;
    const unsigned command = xor_mask_ ^ 0xC8u;
    for (unsigned reg = 0; reg < kRegisterCount; ++reg)
        std::snprintf(cmd_table_[reg], sizeof cmd_table_[reg], "|%02X%02X%02X", address & 0xFFu,
                      command & 0xFFu, (xor_mask_ ^ reg) & 0xFFu);
}

void Kel36::sendRequest(unsigned reg)
{
    SendData(reinterpret_cast<const unsigned char*>(cmd_table_[reg]), kFrameLength);
}
