#include "kel36-host/mqtt/outgoing_records.h"

namespace keltool {

bool MemoryQueue::push(PublishedRecord&& record)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.size() >= capacity_) {
        ++dropped_;
        return false;
    }
    entries_.push_back(Entry{std::move(record), false});
    return true;
}

uint64_t MemoryQueue::dropped() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

bool MemoryQueue::next(PublishedRecord* record, uint64_t* token)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    while (handed_out_ < entries_.size() && entries_[handed_out_].acked)
        ++handed_out_;
    if (handed_out_ >= entries_.size())
        return false;
    *record = entries_[handed_out_].record;
    *token = first_token_ + handed_out_;
    ++handed_out_;
    return true;
}

void MemoryQueue::acknowledged(uint64_t token)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (token < first_token_ || token - first_token_ >= entries_.size())
        return;  // an old session's duplicate
    entries_[token - first_token_].acked = true;
    while (!entries_.empty() && entries_.front().acked) {
        entries_.pop_front();
        ++first_token_;
        if (handed_out_ > 0)
            --handed_out_;
    }
}

void MemoryQueue::rewind()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    handed_out_ = 0;
}

uint64_t MemoryQueue::waiting()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

}  // namespace keltool
