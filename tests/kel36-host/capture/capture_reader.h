#pragma once
// A small pcapng reader for the tests: the blocks this project's captures
// hold, in this machine's byte order, parsed field by field.

#include <cstdint>
#include <string>
#include <vector>

namespace capturetest {

struct ReadInterface {
    uint16_t link_type = 0;
    std::string name;
    std::string description;
    uint64_t speed = 0;
    int tsresol = -1;
    std::vector<std::string> comments;
};

struct ReadPacket {
    uint32_t interface = 0;
    uint64_t micros = 0;  // wall clock
    // The kel36 header.
    int version = 0;
    int kind = 0;
    int device = 0;
    int address = 0;
    uint64_t monotonic_ns = 0;
    int reg = 0;
    int flags = 0;
    int reason = 0;
    std::string payload;
};

struct ReadCapture {
    bool ok = false;
    std::string error;
    int sections = 0;
    std::string application;
    std::string os;
    std::vector<ReadInterface> interfaces;
    std::vector<ReadPacket> packets;
};

ReadCapture readCapture(const std::string& path);

// The output of a command (through /bin/sh), for tshark and capinfos.
std::string commandOutput(const std::string& command);

}  // namespace capturetest
