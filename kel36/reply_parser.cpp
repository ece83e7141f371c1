// Receive handler: gathers one 4-character reply, decodes its data byte, stores
// it as the current polling step prescribes and asks for the next register.
// Nothing here allocates or formats: frames are pre-built.

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

    const int high = hexDigit(rx_buf_[0]);
    const int low = hexDigit(rx_buf_[1]);
    rx_len_ = 0;
    if (high < 0 || low < 0) {
        // A garbled reply carries no value: storing a guess would publish data the
        // controller never sent, so the round stalls instead.
        Reset();
        return 0;
    }
    const auto value = static_cast<uint8_t>(((high << 4) | low) ^ xor_mask_);
    if (round_complete_ || poll_step_ >= kRegisterCount)
        return 1;
    return applyStep(value);
}

int Kel36::applyStep(uint8_t d)
{
    using kel36::Action;
    const kel36::StepRow& row = kel36::kStepTable[poll_step_];
    unsigned char* rec = recordBytes();
    const std::size_t off = row.offset;

    switch (row.action) {
    case Action::None:
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
        RoundDone();
        return 0;
    }
    poll_step_ = row.next;
    sendRequest(row.next);
    return 1;
}
