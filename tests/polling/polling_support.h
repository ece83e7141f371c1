#pragma once
// Shared helpers of the polling suites: replies as the controller sends them,
// request frames as the wire carries them, and an independent model of the
// record a round must produce. The model is written from the register map on
// its own (own offsets, own arithmetic) so that it can disagree with the driver.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "framework/zrn_spdevice.h"
#include "host/call_log.h"

namespace polltest {

constexpr uint8_t kMask = 0x9E;
constexpr std::size_t kRecordSize = 100;
constexpr std::size_t kTimeOffset = 93;
constexpr unsigned kLastStep = 64;

// Register values of one round, indexed by register number 0..64. Entries 1
// and 51 are never polled.
using RegisterImage = std::array<uint8_t, 65>;
using RecordBytes = std::array<unsigned char, kRecordSize>;

// Polling steps of one round in order: 1..50, 52..64.
const std::vector<unsigned>& roundSteps();
// The register whose reply a step stores (step 1 stores register 0).
unsigned registerOfStep(unsigned step);
// Registers requested in one round, in order: 0, 2..50, 52..64.
std::vector<unsigned> roundRegisters();

std::string hex2(unsigned value, bool lower = false);
// Four reply characters carrying `value`: masked hex pair plus a tail pair.
std::string reply(uint8_t value, const std::string& tail = "3C", bool lower = false);
// The reply of a controller that echoes: bytes 2-3 are the register field of
// the request answered (register XOR the mask).
std::string echoReply(uint8_t value, unsigned reg, bool lower = false);
// The 7-byte request frame for a register at an address.
std::string frame(uint8_t address, unsigned reg);

// What a simulated controller puts in bytes 2-3: a fixed pair that never
// echoes, or the register field of the request.
enum class Tail { Fixed, Echo };

enum class Kind { U8, U16, I16, U32, F32, Time };

struct FieldSpec {
    const char* name;
    std::size_t offset;
    Kind kind;
    unsigned first_step;  // first polling step that writes the field
    unsigned last_step;   // last polling step that writes it
};

// Every field of the record, in layout order, bytes 0..99 once each.
const std::vector<FieldSpec>& recordFields();
std::size_t widthOf(Kind kind);
// Human-readable value of a field, for failure messages.
std::string describe(const FieldSpec& field, const unsigned char* record);

// The record a completed round over `image` holds (the time bytes zero).
RecordBytes expectedRecord(const RegisterImage& image, uint32_t data_id);

float readFloat(const unsigned char* record, std::size_t offset);
uint16_t readU16(const unsigned char* record, std::size_t offset);
void writeFloat(unsigned char* record, std::size_t offset, float value);

// A register image where nearly every field gets a value no other field has:
// digit registers above 9, a negative signed pair, letters in the hex.
RegisterImage distinctImage();
// Every polled register set to one value.
RegisterImage filledImage(uint8_t value);

// The request frames a device sent, in order, as the log recorded them.
std::vector<std::string> sentFramesIn(const kelhost::CallLog& log);

// Hands bytes to process() as one chunk, as the host does.
int feed(ZRNSPDevice& device, const std::string& bytes);
// RefreshStatus, then one reply per step of the round; returns process()'s
// results in step order.
std::vector<int> runRound(ZRNSPDevice& device, const RegisterImage& image, Tail tail = Tail::Fixed);
// Replies for the steps before `step` (the round already started).
void feedUntil(ZRNSPDevice& device, const RegisterImage& image, unsigned step,
               Tail tail = Tail::Fixed);

}  // namespace polltest
