// The station's side of the upgrade conversation, as a pure byte-in /
// byte-out model: no I/O, no threads, no clock of its own. It parses and
// checks what the tool sends by itself, sharing no code with the tool, so that
// a formatting fault in the tool shows up here instead of cancelling out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace station {

// How the station answers a correct identify frame (5A 0A 00 F1 30 30 30 30 FD EB).
enum class IdentifyAnswer {
  Accept10,     // 10-byte reply, correct checksum, 0xA2 at offset 4 (the tool does not examine
                // the body of a 10-byte reply, so that A2 must not matter)
  Accept8,      // 8-byte reply, correct checksum, status byte 0x00 at offset 4
  Refuse,       // exactly 5A 07 00 00 A2 FE FD
  Silent,       // no reply
  BadChecksum,  // the Accept10 reply with its checksum off by one
};

// What the station does with one received bootloader line.
enum class Fault {
  None,         // ".\r\n" after the processing time
  Silent,       // no reply at all
  Negative,     // a reply whose character before CR is not '.', e.g. "E\r\n"
  Echo,         // the line echoed back, then ".\r\n"
  Split,        // ".", "\r", "\n" as three separate chunks (some ms apart)
  Garbage,      // junk bytes first (a lone CR and a lone LF, never CR LF, not ending in '.'),
                // then ".\r\n" in the same chunk
  TwoReplies,   // ".\r\n.\r\n" at once
  EchoCrLf,     // the line back ending in CR LF, then ".\r\n", in one burst
  Late,         // the usual reply, but only after the rule's ms (the station is busy meanwhile)
  EchoArrival,  // the line back ending in CR LF as soon as it arrives, then the usual reply
                // when the work is done (after the rule's ms when it gives one)
};

struct FaultRule {
  int line;     // 1 = the erase line, 2.. = the following distinct lines in the order received
                // (programming lines, then the closing lines); 0 = every line
  int attempt;  // 1 = first receipt of that line, 2 = the first resend, ...; 0 = every attempt
  Fault fault;
  std::uint32_t ms =
      0;  // Late, EchoArrival: how long the reply takes (EchoArrival: 0 = the work time)
};

struct Config {
  IdentifyAnswer identify = IdentifyAnswer::Accept10;
  int answerFromFrame = 1;  // identify frames before the N-th get no answer (1 = answer the first)
  std::uint32_t eraseMs = 0;      // time the erase takes before its acknowledgement
  std::uint32_t lineMs = 0;       // processing time before any other line's reply
  std::vector<FaultRule> faults;  // first matching rule wins
  int hangUpAfterLine = 0;        // 0 = never; N = hang up right after the reply to line N
  std::uint32_t identifyMs = 0;   // time before the identify answer
  std::uint32_t splitMs = 20;     // gap between the pieces of a Split reply
};

// One block the station sends: delayMs counted from the previous chunk of the
// same Receive call (the first from the moment the input that caused it was
// complete).
struct Chunk {
  std::uint32_t delayMs = 0;
  std::vector<std::uint8_t> bytes;
};

// A complete record (a ':' line) as the station parsed it.
struct Record {
  std::string text;  // ":..." exactly as received
  int line = 0;      // numbering as in FaultRule
  int attempt = 0;
  bool checksumOk = false;    // well formed (upper-case hex, length by its count) and summing to 0
  double timeSeconds = 0;     // the time given to Receive when it completed
  bool acknowledged = false;  // the station answered it with a full stop
};

class Station {
 public:
  explicit Station(Config config = {});
  // Bytes from the tool, in order, in any split. Returns what the station sends back, in order.
  std::vector<Chunk> Receive(std::span<const std::uint8_t> bytes, double nowSeconds = 0);
  bool HungUp() const;

  int IdentifyFrames() const;                  // correct identify frames seen
  const std::vector<Record>& Records() const;  // every record, in order
  int EraseCount() const;                      // erase lines acknowledged
  int Fillers() const;                         // runs of exactly fifty '0' between records
  std::size_t JunkBytes() const;  // bytes that were neither frames, records nor fillers
  bool LastCommandSeen() const;   // ":00000008F8" acknowledged
  const std::array<std::uint8_t, 65536>& Memory() const;

  // Frames that began with 0x5A but were not a correct identify frame (their
  // bytes also count as junk).
  int BadFrames() const;

 private:
  enum class State { Idle, FrameLength, Frame, Record };

  void EndZeroRun();
  void StartRecord();
  void FinishRecord(bool measured, double now, std::vector<Chunk>& out);
  void FinishFrame(std::vector<Chunk>& out);
  void Emit(std::vector<Chunk>& out, std::uint32_t delayMs, std::vector<std::uint8_t> bytes);
  bool Apply(const std::vector<std::uint8_t>& fields);

  Config config_;
  State state_ = State::Idle;
  std::vector<std::uint8_t> frame_;
  std::size_t frameLength_ = 0;
  std::string record_;
  std::size_t recordLength_ = 0;  // 0 while the count field is not read yet
  std::size_t zeroRun_ = 0;

  int identifyFrames_ = 0;
  int badFrames_ = 0;
  std::vector<Record> records_;
  int eraseCount_ = 0;
  int fillers_ = 0;
  std::size_t junk_ = 0;
  bool lastCommand_ = false;
  bool hungUp_ = false;
  int lastLine_ = 0;
  std::array<std::uint8_t, 65536> memory_{};

  std::uint32_t pendingMs_ = 0;  // time passed since the last chunk of this Receive call
};

// Hex text of the SHA-256 of data (lower case), written here: the standard library has none.
std::string Sha256Hex(std::span<const std::uint8_t> data);

}  // namespace station
