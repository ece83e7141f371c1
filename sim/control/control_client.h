#pragma once
// kel36-sim --send: hands commands to a simulator's control socket and prints
// its answers, so scripts and tests need no other client.

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace kelsim {

// Exit statuses of sendCommands.
constexpr int kSendOk = 0;        // every answer began with "ok"
constexpr int kSendRefused = 1;   // at least one began with "error"
constexpr int kSendNoServer = 2;  // nobody listens, or no answer in time

// Sends the commands, one line each, and writes each answer line to `out`.
// On kSendNoServer `error` holds one line saying why.
int sendCommands(const std::string& path, const std::vector<std::string>& commands, std::FILE* out,
                 std::string* error, std::chrono::milliseconds limit = std::chrono::seconds(5));

}  // namespace kelsim
