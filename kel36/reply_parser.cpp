// Receive handler: gathers one 4-character reply, decodes its data byte, checks
// (when the echo setting asks for it) that the reply names the register awaited,
// stores the byte as the current polling step prescribes and asks for the next
// register. Nothing here allocates or formats: frames are pre-built and the
// echo is compared as a byte.

#include <cstring>

#include "kel36/kel36.h"
#include "kel36/register_map.h"
#include "unidata/record_bytes.h"

namespace {

int hexDigit(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Two hex digits (either case) as a byte; -1 when they are anything else.
int hexPair(const unsigned char* pair)
{
    const int high = hexDigit(pair[0]);
    const int low = hexDigit(pair[1]);
    return high < 0 || low < 0 ? -1 : (high << 4) | low;
}

}  // namespace

int Kel36::process(unsigned char* data, unsigned int len)
{
    // Written so that no length, however large, can wrap the count. A chunk
    // that claims bytes but has none is refused the same way.
    if (rx_len_ > kReplyLength || len > kReplyLength - rx_len_ || (data == nullptr && len > 0)) {
        Reset();
        return 0;
    }
    if (len > 0) {
        std::memcpy(rx_buf_ + rx_len_, data, len);
        rx_len_ += len;
    }
    if (rx_len_ < kReplyLength)
        return 1;
    rx_len_ = 0;

    // A reply that no step awaits stores nothing whatever it holds, so it
    // cannot stall the round either: it is discarded.
    if (!awaitsReply())
        return 1;
    const int data_pair = hexPair(rx_buf_);
    const bool echoed = reply_echo_ != kel36::ReplyEcho::Off && echoesAwaitedRegister();
    if (data_pair < 0 || (!echoed && echoRequired())) {
        // A garbled reply carries no value, and a reply for another register
        // (a late one, or one shifted by an over-long reply's tail) carries the
        // wrong one: storing either would publish data the controller never
        // gave for this register, so the round stalls instead.
        Reset();
        return 0;
    }
    if (echoed)
        ++echoed_replies_in_round_;
    return applyStep(static_cast<uint8_t>(data_pair ^ xor_mask_));
}

bool Kel36::awaitsReply() const
{
    return !round_complete_ && poll_step_ < kRegisterCount &&
           kel36::kStepTable[poll_step_].action != kel36::Action::None;
}

// Bytes 2-3 name the register field of the request this step answers. The
// step's register is the one last requested: RefreshStatus asks for register
// 0 at step 1, and every step asks for the register of the step it moves to.
bool Kel36::echoesAwaitedRegister() const
{
    const unsigned field = (xor_mask_ ^ kel36::kStepTable[poll_step_].reg) & 0xFFu;
    return hexPair(rx_buf_ + 2) == static_cast<int>(field);
}

bool Kel36::echoRequired() const
{
    return reply_echo_ == kel36::ReplyEcho::On ||
           (reply_echo_ == kel36::ReplyEcho::Auto && echo_confirmed_);
}

int Kel36::applyStep(uint8_t d)
{
    using kel36::Action;
    const kel36::StepRow& row = kel36::kStepTable[poll_step_];
    unsigned char* rec = recordBytes();
    const std::size_t off = row.offset;

    switch (row.action) {
    case Action::None:  // not reached: process() discards such replies
        return 1;
    case Action::Byte:
        record::putU8(rec, off, d);
        break;
    case Action::Hold:
        this->*row.holder = d;
        break;
    case Action::ScaledWord:
        record::putFloat(rec, off, static_cast<float>(d * 256 + this->*row.holder) / 100.0f);
        break;
    case Action::FrequencyWhole:
        freq_whole_ = d;
        break;
    case Action::FrequencyTenths:
        record::putFloat(rec, off, static_cast<float>(freq_whole_) + static_cast<float>(d) / 10.0f);
        break;
    case Action::Float:
    case Action::DigitFirst:
        record::putFloat(rec, off, static_cast<float>(d));
        break;
    case Action::DigitTenths:
        record::putFloat(rec, off, static_cast<float>(d) / 10.0f);
        break;
    case Action::DigitAdd:
        record::putFloat(rec, off,
                         record::getFloat(rec, off) + static_cast<float>(d * row.factor));
        break;
    case Action::WordHigh:
        record::putU16(rec, off, static_cast<uint16_t>(d * 256));
        break;
    case Action::WordOrLow:
        record::putU16(rec, off, static_cast<uint16_t>(record::getU16(rec, off) | d));
        break;
    case Action::Battery:
        record::putFloat(rec, off, (static_cast<float>(d) + static_cast<float>(d)) / 10.0f);
        break;
    case Action::FloatWord:
        record::putFloat(rec, off, static_cast<float>(d * 256 + this->*row.holder));
        break;
    case Action::SignedWord:
        record::putU16(rec, off, static_cast<uint16_t>(d * 256 + this->*row.holder));
        break;
    case Action::Last:
        record::putU8(rec, off, d);
        round_complete_ = true;
        // Counted after this reply's own comparison, so the last reply of the
        // round must echo too.
        if (reply_echo_ == kel36::ReplyEcho::Auto && echoed_replies_in_round_ == kRepliesPerRound)
            echo_confirmed_ = true;
        RoundDone();
        return 0;
    }
    poll_step_ = row.next;
    sendRequest(row.next);
    return 1;
}
