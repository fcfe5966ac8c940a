#include "Station.h"

#include <algorithm>
#include <utility>

namespace station {

namespace {

constexpr std::uint8_t kFrameStart = 0x5A;
constexpr std::array<std::uint8_t, 10> kIdentifyFrame = {0x5A, 0x0A, 0x00, 0xF1, 0x30,
                                                         0x30, 0x30, 0x30, 0xFD, 0xEB};
constexpr char kEraseLine[] = ":0100000307F5";
constexpr std::size_t kFillerLength = 50;
// Shortest frame: start byte, length byte and the two checksum bytes.
constexpr std::size_t kMinFrame = 4;

// Appends the 16-bit two's complement of the byte sum, high byte first.
std::vector<std::uint8_t> Sealed(std::vector<std::uint8_t> body) {
  unsigned sum = 0;
  for (std::uint8_t b : body) sum += b;
  unsigned check = (0x10000u - (sum & 0xFFFFu)) & 0xFFFFu;
  body.push_back(static_cast<std::uint8_t>(check >> 8));
  body.push_back(static_cast<std::uint8_t>(check & 0xFF));
  return body;
}

std::vector<std::uint8_t> IdentifyReply(IdentifyAnswer answer) {
  switch (answer) {
    case IdentifyAnswer::Accept10:
      return Sealed({0x5A, 0x0A, 0x00, 0xF1, 0xA2, 0x00, 0x00, 0x00});
    case IdentifyAnswer::Accept8:
      return Sealed({0x5A, 0x08, 0x00, 0xF1, 0x00, 0x00});
    case IdentifyAnswer::Refuse:
      return {0x5A, 0x07, 0x00, 0x00, 0xA2, 0xFE, 0xFD};
    case IdentifyAnswer::BadChecksum: {
      auto reply = Sealed({0x5A, 0x0A, 0x00, 0xF1, 0xA2, 0x00, 0x00, 0x00});
      unsigned check = (static_cast<unsigned>(reply[8]) << 8 | reply[9]) + 1;
      reply[8] = static_cast<std::uint8_t>((check >> 8) & 0xFF);
      reply[9] = static_cast<std::uint8_t>(check & 0xFF);
      return reply;
    }
    case IdentifyAnswer::Silent:
      break;
  }
  return {};
}

// Upper-case digits only: the tool never sends anything else.
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// For measuring a record whose count field is in lower case: the record is
// still refused, but its end is found where the sender meant it.
int AnyCaseHexValue(char c) {
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return HexValue(c);
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

}  // namespace

Station::Station(Config config) : config_(std::move(config)) {}

bool Station::HungUp() const {
  return hungUp_;
}
int Station::IdentifyFrames() const {
  return identifyFrames_;
}
const std::vector<Record>& Station::Records() const {
  return records_;
}
int Station::EraseCount() const {
  return eraseCount_;
}
bool Station::LastCommandSeen() const {
  return lastCommand_;
}
const std::array<std::uint8_t, 65536>& Station::Memory() const {
  return memory_;
}
int Station::BadFrames() const {
  return badFrames_;
}

// A run of zeros still going on is judged as if it ended now.
int Station::Fillers() const {
  return fillers_ + (zeroRun_ == kFillerLength ? 1 : 0);
}
std::size_t Station::JunkBytes() const {
  return junk_ + (zeroRun_ == kFillerLength ? 0 : zeroRun_);
}

void Station::EndZeroRun() {
  if (zeroRun_ == kFillerLength)
    ++fillers_;
  else
    junk_ += zeroRun_;
  zeroRun_ = 0;
}

void Station::StartRecord() {
  state_ = State::Record;
  record_.assign(1, ':');  // not = ":": GCC 12 warns wrongly (-Wrestrict)
  recordLength_ = 0;
}

void Station::Emit(std::vector<Chunk>& out, std::uint32_t delayMs,
                   std::vector<std::uint8_t> bytes) {
  out.push_back(Chunk{pendingMs_ + delayMs, std::move(bytes)});
  pendingMs_ = 0;
}

std::vector<Chunk> Station::Receive(std::span<const std::uint8_t> bytes, double nowSeconds) {
  std::vector<Chunk> out;
  pendingMs_ = 0;
  for (std::uint8_t byte : bytes) {
    if (hungUp_) break;
    switch (state_) {
      case State::Idle:
        if (byte == '0') {
          ++zeroRun_;
          break;
        }
        EndZeroRun();
        if (byte == ':') {
          StartRecord();
        } else if (byte == kFrameStart) {
          frame_.assign(1, byte);
          state_ = State::FrameLength;
        } else {
          ++junk_;
        }
        break;

      case State::FrameLength:
        if (byte < kMinFrame) {
          // A length that cannot hold a checksum: not a frame at all.
          ++badFrames_;
          junk_ += 2;
          state_ = State::Idle;
          break;
        }
        frame_.push_back(byte);
        frameLength_ = byte;
        state_ = State::Frame;
        break;

      case State::Frame:
        frame_.push_back(byte);
        if (frame_.size() == frameLength_) {
          state_ = State::Idle;
          FinishFrame(out);
        }
        break;

      case State::Record: {
        const char c = static_cast<char>(byte);
        if (c == ':') {
          // A colon never occurs inside a record: the one before was cut short.
          FinishRecord(false, nowSeconds, out);
          if (!hungUp_) StartRecord();
          break;
        }
        record_.push_back(c);
        if (recordLength_ == 0 && record_.size() == 3) {
          const int high = AnyCaseHexValue(record_[1]);
          const int low = AnyCaseHexValue(record_[2]);
          if (high < 0 || low < 0) {
            // Without a count there is no telling where the record ends.
            FinishRecord(false, nowSeconds, out);
            break;
          }
          // ':' count(2) address(4) type(2) data(2 * count) checksum(2)
          recordLength_ = 11 + 2 * static_cast<std::size_t>(high * 16 + low);
        }
        if (recordLength_ != 0 && record_.size() == recordLength_)
          FinishRecord(true, nowSeconds, out);
        break;
      }
    }
  }
  return out;
}

void Station::FinishFrame(std::vector<Chunk>& out) {
  const std::size_t n = frame_.size();
  unsigned sum = 0;
  for (std::size_t i = 0; i + 2 < n; ++i) sum += frame_[i];
  sum += static_cast<unsigned>(frame_[n - 2]) << 8 | frame_[n - 1];
  const bool correct =
      (sum & 0xFFFFu) == 0 &&
      std::equal(frame_.begin(), frame_.end(), kIdentifyFrame.begin(), kIdentifyFrame.end());
  if (!correct) {
    ++badFrames_;
    junk_ += n;
    return;
  }
  ++identifyFrames_;
  if (identifyFrames_ < config_.answerFromFrame) return;
  auto reply = IdentifyReply(config_.identify);
  if (reply.empty()) return;
  Emit(out, config_.identifyMs, std::move(reply));
}

// Carries out an acknowledged record; false when the station cannot take it.
bool Station::Apply(const std::vector<std::uint8_t>& fields) {
  const std::size_t count = fields[0];
  const std::size_t address = static_cast<std::size_t>(fields[1]) << 8 | fields[2];
  const std::uint8_t type = fields[3];
  switch (type) {
    case 0x00:
      if (address + count > memory_.size()) return false;
      std::copy_n(fields.begin() + 4, count,
                  memory_.begin() + static_cast<std::ptrdiff_t>(address));
      return true;
    case 0x03:
      if (count == 1 && address == 0 && fields[4] == 0x07) {
        memory_.fill(0xFF);
        ++eraseCount_;
      }
      return true;
    case 0x08:
      if (count == 0 && address == 0) lastCommand_ = true;
      return true;
    default:
      return false;
  }
}

void Station::FinishRecord(bool measured, double now, std::vector<Chunk>& out) {
  Record r;
  r.text = std::move(record_);
  record_.clear();
  state_ = State::Idle;
  recordLength_ = 0;
  r.timeSeconds = now;

  // A resend repeats the line just received; the erase line begins a new run.
  if (!records_.empty() && records_.back().text == r.text) {
    r.line = records_.back().line;
    r.attempt = records_.back().attempt + 1;
  } else {
    r.line = r.text == kEraseLine ? 1 : lastLine_ + 1;
    r.attempt = 1;
  }
  lastLine_ = r.line;

  std::vector<std::uint8_t> fields;
  bool wellFormed = measured;
  for (std::size_t i = 1; wellFormed && i + 1 < r.text.size(); i += 2) {
    const int high = HexValue(r.text[i]);
    const int low = HexValue(r.text[i + 1]);
    if (high < 0 || low < 0) wellFormed = false;
    fields.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  unsigned sum = 0;
  for (std::uint8_t b : fields) sum += b;
  r.checksumOk = wellFormed && (sum & 0xFFu) == 0;

  // Which records the station can carry out at all, before any fault.
  bool takeable = false;
  if (r.checksumOk) {
    const std::size_t count = fields[0];
    const std::size_t address = static_cast<std::size_t>(fields[1]) << 8 | fields[2];
    const std::uint8_t type = fields[3];
    takeable = (type == 0x00 && address + count <= memory_.size()) || type == 0x03 || type == 0x08;
  }

  Fault fault = Fault::None;
  std::uint32_t lateMs = 0;
  for (const FaultRule& rule : config_.faults) {
    if ((rule.line == 0 || rule.line == r.line) &&
        (rule.attempt == 0 || rule.attempt == r.attempt)) {
      fault = rule.fault;
      lateMs = rule.ms;
      break;
    }
  }

  r.acknowledged = takeable && fault != Fault::Silent && fault != Fault::Negative;
  if (r.acknowledged) Apply(fields);

  const bool erase = r.checksumOk && r.text == kEraseLine;
  const std::uint32_t workMs = erase ? config_.eraseMs : config_.lineMs;
  const std::string reply = r.acknowledged ? ".\r\n" : "E\r\n";

  switch (fault) {
    case Fault::None:
    case Fault::Negative:
      Emit(out, workMs, Bytes(reply));
      break;
    case Fault::Late:
      Emit(out, lateMs, Bytes(reply));
      break;
    case Fault::EchoCrLf:
      Emit(out, workMs, Bytes(r.text + "\r\n" + reply));
      break;
    case Fault::EchoArrival:
      Emit(out, 0, Bytes(r.text + "\r\n"));
      Emit(out, lateMs != 0 ? lateMs : workMs, Bytes(reply));
      break;
    case Fault::Silent:
      pendingMs_ += workMs;
      break;
    case Fault::Echo:
      Emit(out, 0, Bytes(r.text));
      Emit(out, workMs, Bytes(reply));
      break;
    case Fault::Split:
      Emit(out, workMs, Bytes(reply.substr(0, 1)));
      Emit(out, config_.splitMs, Bytes("\r"));
      Emit(out, config_.splitMs, Bytes("\n"));
      break;
    case Fault::Garbage:
      // A full stop before a lone CR, and one after it before a lone LF: neither
      // may complete a reply.
      Emit(out, workMs,
           Bytes("x.\r.\n\x7F"
                 "E" +
                 reply));
      break;
    case Fault::TwoReplies:
      Emit(out, workMs, Bytes(reply + reply));
      break;
  }

  records_.push_back(std::move(r));
  if (config_.hangUpAfterLine > 0 && records_.back().line == config_.hangUpAfterLine)
    hungUp_ = true;
}

}  // namespace station
