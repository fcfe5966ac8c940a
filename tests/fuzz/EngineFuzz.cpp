// Fuzzes whole runs of the window's logic, from the press of Start to its
// ending, through the real serial component over the serial double, with
// stations whose every answer the input chooses: identify replies, line
// replies (whole, split, late, doubled, echoed, noisy), lost lines, and
// noise on the line, on a clock of the harness's own: the reply timer runs
// out when its time has come, and each reply arrives when the station is
// done with its line.
//
// The station keeps to what a station on a serial line can be relied on for,
// and no rule can do without: it works on one line at a time and takes every
// copy of a line alike; each copy it receives (with the filler after it) draws
// one answer, whose bytes come within a moment of each other; noise never
// forges a reply that a station could have sent (it holds no full stop and
// no LF). Within that, the input chooses freely.
//
// Each run is checked against what the station did: it ends in exactly one
// of the four endings with every port closed; no line goes out more than four
// times, the erase line never twice; the next line goes out only after the
// station's acknowledgement of the current one has arrived, and a line never
// goes out again, nor does the run fail on it, once its acknowledgement has
// arrived undisturbed; so "Done." comes only after every non-blank block and
// the three closing commands were acknowledged.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Classes.h"
#include "Comm.h"
#include "FakeCommOs.h"
#include "HexReference.h"
#include "Main.h"
#include "PortSource.h"

namespace {

using comm::test::FakeCommOs;

const std::string kIdentifyFrame(
    "\x5A\x0A\x00\xF1"
    "0000\xFD\xEB",
    10);
const std::string kErase = ":0100000307F5";
const std::string kReset1 = ":03000003060000F4";
const std::string kReset2 = ":020000030501F5";
const std::string kReset3 = ":00000008F8";
const std::string kFiller(50, '0');

// What happened in this input's runs, told when a check fails. The event
// thread adds to it too (its purge when a port closes).
std::mutex g_storyMutex;
std::string g_story;

void Tell(const std::string& line) {
  std::lock_guard lock(g_storyMutex);
  g_story += line;
  g_story += '\n';
}

[[noreturn]] void Fault(const std::string& what) {
  std::fprintf(stderr, "engine: %s\n--- the run so far ---\n%s\n", what.c_str(), g_story.c_str());
  std::abort();
}

void Expect(bool ok, const std::string& what) {
  if (!ok) Fault(what);
}

std::string Printable(const std::string& bytes) {
  std::string out;
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && c != '\\') {
      out += c;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      out += buf;
    }
  }
  return out;
}

// ---- the window's controls, recording what the logic does to them ------------------

class Button : public app::TButton {
 public:
  bool Enabled() const override { return enabled; }
  void SetEnabled(bool value) override {
    enabled = value;
    ++(value ? enables : disables);
  }
  bool enabled = true;
  int enables = 0, disables = 0;
};

class ProgressBar : public app::TProgressBar {
 public:
  std::int32_t Min() const override { return min; }
  std::int32_t Max() const override { return max; }
  std::int32_t Position() const override { return position; }
  void SetMin(std::int32_t value) override { min = value; }
  void SetMax(std::int32_t value) override { max = value; }
  void SetPosition(std::int32_t value) override { position = std::clamp(value, min, max); }
  std::int32_t min = 0, max = 100, position = 0;
};

class ListBox : public app::TListBox {
 public:
  std::span<const std::string> Items() const override { return items; }
  std::vector<std::string> items;
};

class StaticText : public app::TStaticText {
 public:
  std::string Caption() const override { return caption; }
  void SetCaption(const std::string& text) override {
    caption = text;
    Tell("status \"" + text + "\"");
  }
  std::string caption;
};

// The harness's clock, in milliseconds.
std::uint64_t g_now = 0;

class Timer : public app::TTimer {
 public:
  std::uint32_t Interval() const override { return interval; }
  void SetInterval(std::uint32_t milliseconds) override { interval = milliseconds; }
  bool Enabled() const override { return enabled; }
  void SetEnabled(bool value) override {
    // Enabling starts a fresh countdown.
    if (value) deadline = g_now + interval;
    enabled = value;
  }
  std::uint32_t interval = 1000;
  bool enabled = false;
  std::uint64_t deadline = 0;
};

struct Box {
  std::string text, caption;
  unsigned flags;
  std::string status;
  bool startEnabled, delayEnabled, portOpen;
  std::int32_t progress;
};

class Form : public app::TMainForm {
 public:
  app::TPanel& Panel1() override { return panel; }
  app::TLabel& Label1() override { return label; }
  app::TButton& Button1() override { return button; }
  app::TProgressBar& ProgressBar1() override { return progress; }
  app::TListBox& ProgSrc() override { return progSrc; }
  app::TStaticText& StaticText1() override { return status; }
  app::TTimer& Delay() override { return delay; }
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override {
    boxes.push_back({text, caption, flags, status.caption, button.enabled, delay.enabled,
                     anyPortOpen(), progress.position});
    Tell("box \"" + text + "\" / \"" + caption + "\"");
    return 1;
  }

  app::TPanel panel;
  app::TLabel label;
  Button button;
  ProgressBar progress;
  ListBox progSrc;
  StaticText status;
  Timer delay;
  std::vector<Box> boxes;
  std::function<bool()> anyPortOpen = [] { return false; };
};

// ---- the serial double, with a log of the window's traffic ------------------------

struct Io {
  enum Kind { Open, Close, Write, Read, Deliver, Purge, Timeout } kind;
  std::string port;
  std::string bytes;
  std::uint32_t interval = 0;
};

// The window's opens, closes, writes, reads and input purges, the bytes
// that reach a port's input, and the timer ticks the fuzzer fired, in the
// order they happened. All happen on the main thread, except the event
// thread's purge as a port closes.
class RecordingOs : public FakeCommOs {
 public:
  HANDLE CreateFileA(const char* name, DWORD access, DWORD share, DWORD disposition,
                     DWORD flags) override {
    HANDLE h = FakeCommOs::CreateFileA(name, access, share, disposition, flags);
    if (h != INVALID_HANDLE_VALUE) {
      std::lock_guard lock(mutex_);
      names_[h] = name;
      Log({Io::Open, name, {}});
    }
    return h;
  }
  BOOL CloseHandle(HANDLE object) override {
    std::string name;
    {
      std::lock_guard lock(mutex_);
      auto it = names_.find(object);
      if (it != names_.end()) {
        name = it->second;
        names_.erase(it);
      }
    }
    const BOOL ok = FakeCommOs::CloseHandle(object);
    if (!name.empty()) {
      std::lock_guard lock(mutex_);
      Log({Io::Close, name, {}});
    }
    return ok;
  }
  BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
                 OVERLAPPED* overlapped) override {
    {
      std::lock_guard lock(mutex_);
      Log({Io::Write, NameOf(file), std::string(static_cast<const char*>(buffer), count)});
    }
    // The station's answer, if any, arrives in here, after the write.
    return FakeCommOs::WriteFile(file, buffer, count, written, overlapped);
  }
  BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read,
                OVERLAPPED* overlapped) override {
    const BOOL ok = FakeCommOs::ReadFile(file, buffer, count, read, overlapped);
    if (ok && read != nullptr && *read > 0) {
      std::lock_guard lock(mutex_);
      Log({Io::Read, NameOf(file), std::string(static_cast<const char*>(buffer), *read)});
    }
    return ok;
  }
  BOOL PurgeComm(HANDLE file, DWORD flags) override {
    const BOOL ok = FakeCommOs::PurgeComm(file, flags);
    if (ok && (flags & PURGE_RXCLEAR) != 0) {
      std::lock_guard lock(mutex_);
      Log({Io::Purge, NameOf(file), {}});
    }
    return ok;
  }
  // Bytes reach the port's input: from the station as it answers a write
  // (the lock of the double is held then), or later from the fuzzer.
  void Delivered(const std::string& port, const std::string& bytes) {
    std::lock_guard lock(mutex_);
    Log({Io::Deliver, port, bytes});
  }
  void Tick(std::uint32_t interval) {
    std::lock_guard lock(mutex_);
    Log({Io::Timeout, {}, {}, interval});
  }

  std::vector<Io> TakeLog() {
    std::lock_guard lock(mutex_);
    return std::exchange(log_, {});
  }

 private:
  std::string NameOf(HANDLE h) {
    auto it = names_.find(h);
    return it == names_.end() ? std::string("?") : it->second;
  }
  void Log(Io e) {
    static const char* const kKinds[] = {"open",    "close", "write",  "read",
                                         "deliver", "purge", "timeout"};
    Tell(std::string(kKinds[e.kind]) + " " + e.port + " " + Printable(e.bytes) +
         (e.kind == Io::Timeout ? std::to_string(e.interval) + " ms" : ""));
    log_.push_back(std::move(e));
  }

  std::mutex mutex_;
  std::map<HANDLE, std::string> names_;
  std::vector<Io> log_;
};

// ---- the stations ---------------------------------------------------------------------

// Bytes a station sends at a moment of the harness's clock.
struct Burst {
  std::uint64_t due;
  std::uint64_t order;  // bursts due together arrive in the order they were made
  std::string port;
  std::string bytes;
  std::string acknowledges;  // the line this burst acknowledges; empty: none
};

class Script {
 public:
  Script(const std::uint8_t* data, std::size_t size) : in_(data, size) {}
  // 0 when the input has run out: the default is always the plain answer.
  unsigned Choice(unsigned last) { return in_.ConsumeIntegralInRange<unsigned>(0, last); }
  bool Flag() { return in_.ConsumeBool(); }
  std::string Bytes(std::size_t most) {
    const auto n = in_.ConsumeIntegralInRange<std::size_t>(1, most);
    return in_.ConsumeBytesAsString(n);
  }
  // Bytes that cannot complete a reply of their own making: no full stop, no LF.
  std::string Noise(std::size_t most) {
    std::string bytes = Bytes(most);
    for (char& c : bytes) {
      if (c == '.') c = 'x';
      if (c == '\n') c = 'y';
    }
    return bytes;
  }
  std::uint8_t Byte() { return in_.ConsumeIntegral<std::uint8_t>(); }
  std::uint16_t Word() { return in_.ConsumeIntegral<std::uint16_t>(); }

 private:
  FuzzedDataProvider in_;
};

std::string ValidReply(std::uint8_t length, const std::string& body) {
  std::string r(length, '\0');
  r[0] = '\x5A';
  r[1] = static_cast<char>(length);
  for (std::size_t i = 2; i + 2 < length; ++i) r[i] = i - 2 < body.size() ? body[i - 2] : '\x01';
  unsigned sum = 0;
  for (std::size_t i = 0; i + 2 < length; ++i) sum += static_cast<std::uint8_t>(r[i]);
  const unsigned check = (0x10000 - (sum & 0xFFFF)) & 0xFFFF;
  r[length - 2] = static_cast<char>(check >> 8);
  r[length - 1] = static_cast<char>(check & 0xFF);
  return r;
}

// The answer to an identify frame: at once (in the scan's read), after a
// pause, or none.
void AnswerIdentify(Script& script, std::string& now, std::string& later) {
  switch (script.Choice(5)) {
    case 0:  // accepted, with a ten-byte reply
      now = ValidReply(10, "\x01\x02\x03\x04\x05\x06");
      break;
    case 1:  // silent
      break;
    case 2:  // refused
      now = std::string("\x5A\x07\x00\x00\xA2\xFE\xFD", 7);
      break;
    case 3:  // anything
      now = script.Bytes(12);
      break;
    case 4: {  // a sound reply of any length, or one off by one
      const auto length = static_cast<std::uint8_t>(2 + script.Choice(8));
      now = ValidReply(length, script.Bytes(8));
      if (script.Flag()) now.back() = static_cast<char>(now.back() + 1);
      break;
    }
    case 5:  // the reply after a pause: too late for the read
      later = ValidReply(10, "abcdef");
      break;
  }
}

// The bootloader behind one port: it takes the lines the window writes, one
// at a time, and schedules its answers on the harness's clock.
class StationModel {
 public:
  StationModel(Script& script, std::string port, std::function<void(Burst)> send)
      : script_(script), port_(std::move(port)), send_(std::move(send)) {}

  void Written(const std::string& bytes) {
    if (bytes == kFiller) {
      // Fifty zeros finish a line the station received only in part: the
      // answer to that copy, a refusal, comes now or never.
      if (lastLost_ && script_.Flag()) Answer(lastLine_, script_.Flag() ? "E\r\n" : "\r\n", "");
      lastLost_ = false;
      return;
    }
    lastLine_ = bytes;
    lastLost_ = false;
    // Every copy of a line takes the station the same time.
    if (!took_.contains(bytes)) {
      static constexpr std::uint32_t kLineTimes[] = {0, 0, 3, 40, 150, 999, 1001, 1400, 2600};
      static constexpr std::uint32_t kEraseTimes[] = {0, 2000, 9999, 10001};
      took_[bytes] =
          bytes == kErase ? kEraseTimes[script_.Choice(3)] : kLineTimes[script_.Choice(8)];
    }
    const std::string ack = ".\r\n";
    switch (script_.Choice(13)) {
      case 0:
        Answer(bytes, ack, bytes);
        break;
      case 1:
        Answer(bytes, "E\r\n", "");
        break;
      case 2:  // the line was lost on the way
        lastLost_ = true;
        break;
      case 3:  // an echo of the line, then the acknowledgement
        Answer(bytes, bytes + ack, bytes);
        break;
      case 4:  // an echo ending in CR LF, then the acknowledgement
        Answer(bytes, bytes + "\r\n" + ack, bytes);
        break;
      case 5:  // acknowledged twice in one breath
        Answer(bytes, ack + ack, bytes);
        break;
      case 6: {  // full stop, CR and LF a moment apart each
        const std::uint64_t at = Answer(bytes, ".", "");
        const std::uint64_t cr = at + script_.Choice(40);
        Schedule(cr, "\r", "");
        Schedule(cr + script_.Choice(40), "\n", bytes);
        break;
      }
      case 7: {  // an echo ending in CR LF, and the acknowledgement a moment later
        const std::uint64_t at = Answer(bytes, bytes + "\r\n", "");
        Schedule(at + script_.Choice(90), ack, bytes);
        break;
      }
      case 8:  // junk that completes nothing positive, then the acknowledgement
        Answer(bytes, script_.Noise(8) + ack, bytes);
        break;
      case 9: {  // more than the window's 256-byte buffer before the answer
        std::string burst;
        for (int i = 0; i < 7; ++i) burst += bytes;
        const bool positive = script_.Flag();
        Answer(bytes, burst + (positive ? ack : "?\r\n"), positive ? bytes : "");
        break;
      }
      case 10:
        Answer(bytes, "\r\n", "");
        break;
      case 11:  // an echo ending in CR LF, then a refusal
        Answer(bytes, bytes + "\r\nE\r\n", "");
        break;
      case 12: {  // the line echoed with CR LF as it arrives, the answer when the work is done
        Schedule(g_now, bytes + "\r\n", "");
        const bool positive = script_.Flag();
        Answer(bytes, positive ? ack : "E\r\n", positive ? bytes : "");
        break;
      }
      case 13: {  // a refusal, then an acknowledgement across the end of its burst wait
        const std::uint64_t at = Answer(bytes, "E\r\n", "");
        Schedule(at + upgrade::kBurstMs - 1 - script_.Choice(4), ".", "");
        Schedule(at + upgrade::kBurstMs + 1 + script_.Choice(60), "\r\n", bytes);
        break;
      }
    }
  }

 private:
  // The answer to the copy just received, once the station is done with the
  // line; returns when it goes out.
  std::uint64_t Answer(const std::string& line, std::string bytes,
                       const std::string& acknowledges) {
    const std::uint64_t at = std::max(g_now, busyUntil_) + took_[line];
    busyUntil_ = at;
    Schedule(at, std::move(bytes), acknowledges);
    return at;
  }
  void Schedule(std::uint64_t at, std::string bytes, const std::string& acknowledges) {
    busyUntil_ = std::max(busyUntil_, at);
    send_(Burst{at, 0, port_, std::move(bytes), acknowledges});
  }

  Script& script_;
  std::string port_;
  std::function<void(Burst)> send_;
  std::map<std::string, std::uint32_t> took_;
  std::uint64_t busyUntil_ = 0;
  std::string lastLine_;
  bool lastLost_ = false;
};

// ---- the image and the lines it calls for -----------------------------------------------

std::string Hex2(unsigned v) {
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
  return buf;
}

std::string Record(std::uint16_t address, const std::vector<std::uint8_t>& data) {
  std::string line = ":" + Hex2(static_cast<unsigned>(data.size())) + Hex2(address >> 8) +
                     Hex2(address & 0xFF) + "00";
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF);
  for (std::uint8_t b : data) {
    line += Hex2(b);
    sum += b;
  }
  return line + Hex2(256 - sum % 256);
}

// A few records: near 0x0000, at the top of the address space (cut at
// 0xFFFF), at the image's usual end, anywhere; some all 0xFF.
std::vector<std::string> ChooseImage(Script& script) {
  std::vector<std::string> lines;
  const unsigned records = 1 + script.Choice(3);
  for (unsigned i = 0; i < records; ++i) {
    std::uint16_t address = 0;
    switch (script.Choice(3)) {
      case 0:
        address = script.Byte() & 0x3F;
        break;
      case 1:
        address = static_cast<std::uint16_t>(0xFFF0 + (script.Byte() & 0x0F));
        break;
      case 2:
        address = static_cast<std::uint16_t>(0x7880 + (script.Byte() & 0x1F));
        break;
      case 3:
        address = script.Word();
        break;
    }
    const std::size_t length = 1 + script.Choice(15);
    const bool blank = script.Flag() && script.Flag();
    std::vector<std::uint8_t> data(length);
    for (std::size_t k = 0; k < length; ++k) {
      data[k] = blank ? 0xFF : static_cast<std::uint8_t>(0x11 * (i + 1) + k);
    }
    lines.push_back(Record(address, data));
  }
  lines.emplace_back(":00000001FF");
  return lines;
}

// The lines a run sends, in order: the erase line, one per non-blank block
// from 0x0000 up, the three closing commands.
std::vector<std::string> ExpectedLines(const std::vector<std::string>& image) {
  std::vector<std::uint8_t> memory(fuzzref::kImageBytes, 0xFF);
  for (const std::string& l : image) {
    const fuzzref::Record r = fuzzref::ReadRecord(l);
    if (r.address)
      std::copy(r.data.begin(), r.data.end(), memory.begin() + static_cast<long>(*r.address));
  }
  std::vector<std::string> lines{kErase};
  for (unsigned block = 0; block < fuzzref::kImageBytes; block += 16) {
    const auto first = memory.begin() + block;
    if (std::all_of(first, first + 16, [](std::uint8_t b) { return b == 0xFF; })) continue;
    std::string line = ":10" + Hex2(block >> 8) + Hex2(block & 0xFF) + "00";
    unsigned sum = 0x10 + (block >> 8) + (block & 0xFF);
    for (unsigned k = 0; k < 16; ++k) {
      line += Hex2(memory[block + k]);
      sum += memory[block + k];
    }
    lines.push_back(line + Hex2(256 - sum % 256));
  }
  lines.insert(lines.end(), {kReset1, kReset2, kReset3});
  return lines;
}

// ---- what the window did, against what the station did ------------------------------------------

enum class Ending { None, NotFound, Refused, Failed, Done };

// Follows the window's writes from the erase line on, and the station's
// acknowledgements as they arrive.
class Conversation {
 public:
  explicit Conversation(std::vector<std::string> lines) : lines_(std::move(lines)) {}

  // The window writes bytes.
  void Wrote(const std::string& bytes) {
    Expect(!over_, "the window wrote after the run ended");
    if (bytes == kFiller) {
      Expect(started_ && timedOut_, "a filler that no time-out called for");
      filler_ = true;
      return;
    }
    if (!started_) {
      Expect(bytes == kErase, "the first line is not the erase line: " + Printable(bytes));
      started_ = true;
      sends_.assign(lines_.size(), 0);
      Sent(0);
      return;
    }
    if (bytes == lines_[current_]) {
      Expect(current_ != 0, "the erase line went out twice");
      Expect(!Acknowledged(current_) || noisy_,
             lines_[current_] + " went out again after its acknowledgement had arrived");
      // A reply that came as the reply time ran out may still be judged: a
      // refusal then calls for the resend without the filler.
      Expect(filler_ == timedOut_ || (!filler_ && answeredInGrace_),
             "a resend after a time-out without the filler, or the reverse");
      Sent(current_);
      return;
    }
    Expect(!filler_, "a filler, then another line than the one before it");
    Expect(current_ + 1 < lines_.size() && bytes == lines_[current_ + 1],
           "wrote " + Printable(bytes) + ", expected " + lines_[current_] + " or the line after");
    Expect(Acknowledged(current_),
           "the next line went out before the station's acknowledgement of " + lines_[current_] +
               " had arrived");
    Sent(current_ + 1);
  }

  // The timer ran out while a line was out: the reply time of a programming
  // or closing line when its interval is 1000 ms.
  void TimerRanOut(std::uint32_t interval) {
    graceOpen_ = interval == 1000;
    if (graceOpen_) timedOut_ = true;
  }
  // Bytes reached the port's input; acknowledges names the line they finish
  // an acknowledgement of.
  void Arrived(const std::string& acknowledges, bool noise) {
    if (noise) noisy_ = true;
    if (!noise && graceOpen_) answeredInGrace_ = true;
    if (!acknowledges.empty()) acknowledged_.insert(acknowledges);
  }

  // How the run ended, against what had arrived.
  void Ended(Ending ending, const std::string& message) {
    over_ = true;
    if (!started_) return;
    const bool last = current_ + 1 == lines_.size();
    if (ending == Ending::Done) {
      Expect(last && Acknowledged(current_), "Done. before every line was acknowledged");
      return;
    }
    Expect(ending == Ending::Failed, "a run that began its upgrade ended without its box");
    Expect(
        current_ == 0 || sends_[current_] == 4,
        message + " after " + std::to_string(sends_[current_]) + " sends of " + lines_[current_]);
    Expect(!Acknowledged(current_) || noisy_,
           message + " although the acknowledgement of " + lines_[current_] + " had arrived");
  }

 private:
  bool Acknowledged(std::size_t line) const { return acknowledged_.contains(lines_[line]); }

  void Sent(std::size_t line) {
    if (line != current_) noisy_ = false;
    current_ = line;
    ++sends_[line];
    Expect(sends_[line] <= 4, lines_[line] + " went out more than four times");
    timedOut_ = filler_ = graceOpen_ = answeredInGrace_ = false;
  }

  const std::vector<std::string> lines_;
  std::vector<int> sends_;
  std::set<std::string> acknowledged_;
  std::size_t current_ = 0;
  bool started_ = false, over_ = false;
  // Since the current line last went out: did its reply time run out, did a
  // filler go out, did noise reach the line (it may spoil an acknowledgement).
  bool timedOut_ = false, filler_ = false, noisy_ = false;
  // Since the reply time last ran out: no other wait has run out yet; bytes
  // of a reply came meanwhile.
  bool graceOpen_ = false, answeredInGrace_ = false;
};

// ---- one fuzz input ---------------------------------------------------------------------

struct PortSetup {
  std::string name;
  bool opens = true, carrier = true, station = true;
};

class Harness {
 public:
  Harness(const std::uint8_t* data, std::size_t size) : script_(data, size) {}

  void Run() {
    ChoosePorts();
    form_.progSrc.items = ChooseImage(script_);
    expectedLines_ = ExpectedLines(form_.progSrc.items);
    form_.anyPortOpen = [this] { return AnyPortOpen(); };
    comm::SetMessageBoxService(
        [this](const std::string& text, const std::string& caption, unsigned) {
          Tell("component box \"" + text + "\" / \"" + caption + "\"");
          ++componentBoxes_;
          return 1;
        });
    panel_ = std::make_unique<app::TMainPanel>(nullptr, form_, os_, source_);
    panel_->Clock = [] { return g_now; };

    // A second press after the first ending starts afresh.
    const int runs = script_.Flag() ? 2 : 1;
    for (int run = 0; run < runs; ++run) OneRun();

    panel_.reset();
    WaitForEventThreads();
    comm::SetMessageBoxService(nullptr);
    Expect(componentBoxes_ == 0, "the serial component reported a failure");
  }

 private:
  void ChoosePorts() {
    const unsigned count = script_.Flag() ? script_.Choice(3) : 1;
    for (unsigned i = 0; i < count; ++i) {
      PortSetup p;
      p.name = "COM" + std::to_string(i + 1);
      if (i > 0 || script_.Flag()) {
        p.opens = !script_.Flag();
        p.carrier = !script_.Flag();
        p.station = !script_.Flag();
      }
      FakeCommOs::Port& port = os_.AddPort(p.name);
      port.busy = !p.opens;
      port.modemStatus = MS_CTS_ON | MS_DSR_ON | (p.carrier ? MS_RLSD_ON : 0);
      if (p.station) {
        stations_.emplace(p.name, std::make_unique<StationModel>(script_, p.name, [this](Burst b) {
                            Schedule(std::move(b));
                          }));
        // Called inside the double's write, its lock held: nothing here calls
        // back into it.
        port.peer = [this, name = p.name](const std::vector<std::uint8_t>& written,
                                          std::vector<std::uint8_t>& reply) {
          const std::string bytes(written.begin(), written.end());
          if (bytes == kIdentifyFrame) {
            std::string now, later;
            AnswerIdentify(script_, now, later);
            if (!now.empty()) os_.Delivered(name, now);
            reply.assign(now.begin(), now.end());
            if (!later.empty()) Schedule(Burst{g_now + 1, 0, name, later, {}});
            return;
          }
          if (conversation_) conversation_->Wrote(bytes);
          stations_.at(name)->Written(bytes);
        };
      }
      setups_.push_back(p);
    }
    // The list Start gets: the ports in order, sometimes one named twice or
    // a name no port has.
    std::vector<std::string> names;
    for (const PortSetup& p : setups_) names.push_back(p.name);
    if (!names.empty() && script_.Flag())
      names.push_back(names[script_.Choice(static_cast<unsigned>(names.size() - 1))]);
    if (script_.Flag())
      names.insert(names.begin() + script_.Choice(static_cast<unsigned>(names.size())), "COM9");
    source_ = app::TNamedPortSource(names);
  }

  bool AnyPortOpen() {
    for (const PortSetup& p : setups_) {
      if (os_.WithPort(p.name, [](FakeCommOs::Port& port) { return port.open; })) return true;
    }
    return false;
  }

  const PortSetup* Setup(const std::string& name) const {
    for (const PortSetup& p : setups_) {
      if (p.name == name) return &p;
    }
    return nullptr;
  }

  // Runs the main thread's hand-offs until no call is queued and every open
  // port's event thread waits with nothing to report.
  void Settle() {
    auto& queue = comm::TMainThreadQueue::Instance();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int spins = 0;; ++spins) {
      queue.RunPending();
      if (queue.PendingCount() == 0 && Quiet()) return;
      if (std::chrono::steady_clock::now() > limit) Fault("the ports never settled");
      if (spins < 100) {
        std::this_thread::yield();
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    }
  }

  bool Quiet() {
    for (const PortSetup& p : setups_) {
      const bool quiet = os_.WithPort(p.name, [](FakeCommOs::Port& port) {
        return !port.open || (port.waitMask != nullptr && port.history == 0);
      });
      if (!quiet) return false;
    }
    return true;
  }

  static void WaitForEventThreads() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (comm::TCommEventThread::LiveCount() != 0) {
      if (std::chrono::steady_clock::now() > limit) Fault("an event thread outlived its port");
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }

  void Schedule(Burst b) {
    b.order = nextOrder_++;
    bursts_.push_back(std::move(b));
  }

  // The burst that arrives first, if any.
  std::optional<std::size_t> NextBurst() const {
    std::optional<std::size_t> first;
    for (std::size_t k = 0; k < bursts_.size(); ++k) {
      const Burst& b = bursts_[k];
      if (!first || b.due < bursts_[*first].due ||
          (b.due == bursts_[*first].due && b.order < bursts_[*first].order))
        first = k;
    }
    return first;
  }

  void Arrive(const std::string& port, const std::string& bytes, const std::string& acknowledges,
              bool noise) {
    const bool open = os_.WithPort(port, [](FakeCommOs::Port& p) { return p.open; });
    Tell(std::string(noise ? "noise " : "arrives ") + port + " " + Printable(bytes) + " at " +
         std::to_string(g_now) + " ms" + (open ? "" : " (port closed)"));
    if (!open) return;
    if (conversation_) conversation_->Arrived(acknowledges, noise);
    os_.Delivered(port, bytes);
    os_.Receive(port, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  }

  void OneRun() {
    Tell("--- Start");
    form_.boxes.clear();
    form_.button.enables = form_.button.disables = 0;
    bursts_.clear();
    conversation_ = std::make_unique<Conversation>(expectedLines_);
    const std::int32_t maxBefore = form_.progress.max;
    Expect(form_.button.enabled, "Start is disabled before the press");
    form_.button.OnClick(&form_.button);

    int steps = 0;
    for (;;) {
      Settle();
      if (form_.button.enabled) break;
      if (++steps > 20000) Fault("the run did not end");
      // Noise on the line at this moment.
      if (script_.Choice(7) == 7) {
        for (const PortSetup& p : setups_) {
          const std::string bytes = script_.Noise(4);
          if (!bytes.empty()) Arrive(p.name, bytes, {}, true);
        }
        continue;
      }
      const std::optional<std::size_t> next = NextBurst();
      const bool timer = form_.delay.enabled;
      Expect(timer || next, "the run stands still: Start disabled, no timer running");
      // A burst due when the timer runs out may come just before or just after.
      if (next && (!timer || bursts_[*next].due < form_.delay.deadline ||
                   (bursts_[*next].due == form_.delay.deadline && script_.Flag()))) {
        Burst b = std::move(bursts_[*next]);
        bursts_.erase(bursts_.begin() + static_cast<std::ptrdiff_t>(*next));
        g_now = std::max(g_now, b.due);
        Arrive(b.port, b.bytes, b.acknowledges, false);
        // Bursts due together may reach one read, or each its own.
        if (script_.Flag()) continue;
        while (const std::optional<std::size_t> same = NextBurst()) {
          if (bursts_[*same].due != b.due) break;
          Burst t = std::move(bursts_[*same]);
          bursts_.erase(bursts_.begin() + static_cast<std::ptrdiff_t>(*same));
          Arrive(t.port, t.bytes, t.acknowledges, false);
        }
        continue;
      }
      // The countdown runs out: a tick leaves the timer disabled.
      g_now = std::max(g_now, form_.delay.deadline);
      form_.delay.enabled = false;
      os_.Tick(form_.delay.interval);
      // The reply time of a programming or closing line ran out.
      conversation_->TimerRanOut(form_.delay.interval);
      form_.delay.OnTimer(&form_.delay);
    }
    // Bursts of this run never reach the next.
    bursts_.clear();
    Judge(maxBefore);
    conversation_.reset();
  }

  // The run's ending against what the conversation calls for.
  void Judge(std::int32_t maxBefore) {
    const std::vector<Io> log = os_.TakeLog();
    Expect(form_.button.disables == 1 && form_.button.enables == 1,
           "Start was disabled " + std::to_string(form_.button.disables) + " and enabled " +
               std::to_string(form_.button.enables) + " times in one run");
    Expect(form_.boxes.size() <= 1, "more than one box in one run");
    Expect(!AnyPortOpen() && !panel_->Comm->IsOpen(), "a port is open after the run");
    Expect(panel_->UpgradeState == 0 && panel_->ResultText == "OK" && !panel_->SendPending,
           "the window is not idle after the run");
    Expect(!form_.delay.enabled, "the timer runs after the run");
    Expect(form_.progress.max >= maxBefore, "the progress maximum went down");

    // The scan: identify frames only, to ports with carrier detect; four
    // attempts for the first such port, one for each later one; every port
    // given up after its last attempt, the last one kept unless none
    // answered.
    struct Visit {
      const PortSetup* setup;
      int frames;
    };
    std::vector<Visit> visits;
    std::size_t i = 0;
    for (; i < log.size(); ++i) {
      const Io& e = log[i];
      if (e.kind == Io::Write && e.bytes != kIdentifyFrame) break;  // the upgrade
      if (e.kind == Io::Open) {
        const PortSetup* setup = Setup(e.port);
        Expect(setup != nullptr && setup->opens, "opened " + e.port + ", which cannot be opened");
        visits.push_back({setup, 0});
      } else if (e.kind == Io::Write) {
        Expect(!visits.empty() && e.port == visits.back().setup->name, "a frame to a closed port");
        Expect(visits.back().setup->carrier, "wrote to " + e.port + " without carrier detect");
        ++visits.back().frames;
      }
    }
    Ending ending = Ending::None;
    std::string message;
    if (form_.boxes.empty()) {
      ending = Ending::Done;
    } else {
      const Box& box = form_.boxes[0];
      Expect(box.flags == 0, "a box with buttons or an icon");
      Expect(!box.startEnabled, "Start enabled while the box is up");
      if (box.caption == "Hardware error." && box.text == "Station KESTRO not found.") {
        ending = Ending::NotFound;
        Expect(!box.portOpen && box.status == "Initialize bootloader...",
               "not found: a port open or the status changed while the box is up");
      } else if (box.caption == "Initialize error." &&
                 box.text == "Station upgrade not supported.") {
        ending = Ending::Refused;
        Expect(box.portOpen && box.status == "Initialize bootloader...",
               "refused: the port closed or the status changed before the box");
      } else if (box.caption == "Upgrade error." &&
                 (box.text == "Command timeout." || box.text == "Communication error.")) {
        ending = Ending::Failed;
        message = box.text;
        Expect(!box.portOpen && !box.delayEnabled && box.status.empty() && box.progress == 0,
               "upgrade error: port, timer, status or progress not reset before the box");
      } else {
        Fault("a box that is no ending: \"" + box.text + "\" / \"" + box.caption + "\"");
      }
    }
    Expect(form_.status.caption == (ending == Ending::Done ? "Done." : ""),
           "the status line reads \"" + form_.status.caption + "\" after the run");

    int withCarrier = 0;
    for (std::size_t v = 0; v < visits.size(); ++v) {
      if (!visits[v].setup->carrier) continue;
      const int budget = withCarrier++ == 0 ? 4 : 1;
      const bool givenUp = ending == Ending::NotFound || v + 1 < visits.size();
      Expect(visits[v].frames <= budget &&
                 (givenUp ? visits[v].frames == budget : visits[v].frames >= 1),
             std::to_string(visits[v].frames) + " identify attempts on " + visits[v].setup->name);
    }
    if (ending != Ending::NotFound) {
      Expect(!visits.empty() && visits.back().setup->carrier, "a station answered on no port");
    }

    const bool upgraded = i < log.size();
    Expect(upgraded == (ending == Ending::Failed || ending == Ending::Done),
           "the upgrade began, or did not, against the ending");
    conversation_->Ended(ending, message);
    if (!upgraded) return;
    // The conversation begins with the start delay running out.
    std::size_t from = i;
    while (from > 0 && log[from - 1].kind == Io::Purge) --from;
    Expect(from > 0 && log[from - 1].kind == Io::Timeout && log[from - 1].interval == 1000,
           "the erase line went out before the start delay ran out");
    Expect(form_.progress.position == 0, "the progress bar is not at 0 after the upgrade");
    for (std::size_t k = from; k < log.size(); ++k) {
      Expect(log[k].kind != Io::Open, "a port opened during the upgrade");
    }
  }

  Script script_;
  RecordingOs os_;
  Form form_;
  app::TNamedPortSource source_{{}};
  std::vector<PortSetup> setups_;
  std::vector<std::string> expectedLines_;
  std::map<std::string, std::unique_ptr<StationModel>> stations_;
  std::vector<Burst> bursts_;
  std::uint64_t nextOrder_ = 0;
  std::unique_ptr<Conversation> conversation_;
  int componentBoxes_ = 0;
  std::unique_ptr<app::TMainPanel> panel_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  g_story.clear();
  g_now = 0;
  Harness(data, size).Run();
  // KSIDU_ENGINE_STORY=1 tells every run, for reading what an input does.
  static const bool tell = std::getenv("KSIDU_ENGINE_STORY") != nullptr;
  if (tell) std::fprintf(stderr, "%s", g_story.c_str());
  return 0;
}
