// Fuzzes whole runs of the window's logic, from the press of Start to its
// ending, through the real serial component over the serial double, with
// stations whose every answer the input chooses: identify replies, line
// replies (whole, split, late, doubled, noise), silences, and the moments the
// reply timer runs out.
//
// Each run is checked against a model of the conversation on the line, kept
// from what the window writes and reads: it ends in exactly one of the four
// endings with every port closed; no line goes out more than four times; the
// erase line never twice; a line is sent again only after a negative reply
// or a timeout, the next one only after an acknowledgement; and "Done." comes
// only after every non-blank block and the three closing commands were
// acknowledged.
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

class Timer : public app::TTimer {
 public:
  std::uint32_t Interval() const override { return interval; }
  void SetInterval(std::uint32_t milliseconds) override { interval = milliseconds; }
  bool Enabled() const override { return enabled; }
  void SetEnabled(bool value) override { enabled = value; }
  std::uint32_t interval = 1000;
  bool enabled = false;
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

// Bytes a station sends after a pause: the fuzzer delivers them later.
struct Late {
  std::string port;
  std::string bytes;
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

// What a station answers to whatever the window writes.
void Answer(Script& script, std::deque<Late>& late, const std::string& port,
            const std::string& written, std::string& now) {
  auto later = [&](std::string bytes) {
    if (!bytes.empty()) late.push_back({port, std::move(bytes)});
  };
  if (written == kIdentifyFrame) {
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
        later(ValidReply(10, "abcdef"));
        break;
    }
    return;
  }
  if (written == kFiller) {
    switch (script.Choice(2)) {
      case 0:
        break;
      case 1:
        now = script.Bytes(6);
        break;
      case 2:
        later(script.Bytes(6));
        break;
    }
    return;
  }
  switch (script.Choice(11)) {
    case 0:
      now = ".\r\n";
      break;
    case 1:
      now = "?\r\n";
      break;
    case 2:  // silence
      break;
    case 3:
      later(".\r\n");
      break;
    case 4:  // full stop, CR and LF each after a pause
      later(".");
      later("\r");
      later("\n");
      break;
    case 5:
      now = script.Bytes(8);
      break;
    case 6:
      later(script.Bytes(8));
      break;
    case 7:  // an echo of the line, then the acknowledgement
      now = written + ".\r\n";
      break;
    case 8:
      now = ".\r\n.\r\n";
      break;
    case 9:
      now = "\r\n";
      break;
    case 10:
      now = ".\r\n";
      later(script.Bytes(6));
      break;
    case 11: {  // more than the window's 256-byte buffer before the reply
      const std::string tail = script.Flag() ? ".\r\n" : "?\r\n";
      for (int i = 0; i < 7; ++i) now += written;
      now += tail;
      break;
    }
  }
}

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

// ---- the model of one run's conversation ------------------------------------------------------

enum class Ending { None, NotFound, Refused, Failed, Done };

struct Verdict {
  Ending ending = Ending::None;
  std::string message;  // of a failed upgrade
};

// Follows the bootloader conversation in the log from the start delay on and
// predicts, after every reply and every timeout, what the window must do
// next; returns how the run must end. It keeps its own copy of the port's
// input, each byte marked with the number of writes made before it arrived,
// to tell whether a reply came after the line it answers.
class Conversation {
 public:
  explicit Conversation(std::vector<std::string> lines) : lines_(std::move(lines)) {}

  Verdict Follow(const std::vector<Io>& log, std::size_t from) {
    for (std::size_t i = from; i < log.size(); ++i) {
      const Io& e = log[i];
      if (over_) {
        Expect(e.kind != Io::Write && e.kind != Io::Read,
               "the window used the port after the run ended");
        continue;
      }
      if (!port_.empty() && !e.port.empty()) {
        Expect(e.port == port_, "the upgrade's port changed to " + e.port);
      }
      switch (e.kind) {
        case Io::Open:
          Fault("a port opened during the upgrade");
        case Io::Timeout:
          Expect(!awaiting_, "a timer tick before the window acted on a reply");
          OnTimeout(e.interval);
          break;
        case Io::Deliver:
          for (char c : e.bytes) input_.push_back({c, writes_});
          break;
        case Io::Purge:
          input_.clear();
          break;
        case Io::Write:
          port_ = e.port;
          ++writes_;
          OnWrite(e.bytes);
          break;
        case Io::Read:
          Expect(!awaiting_, "bytes were read before the window acted on the reply before them");
          for (char c : e.bytes) {
            Expect(!input_.empty() && input_.front().c == c,
                   "read " + Printable(e.bytes) + ", which did not arrive as read");
            unread_.push_back(input_.front());
            input_.pop_front();
          }
          Examine();
          break;
        case Io::Close:
          Expect(due_ == Due::Close, "the port closed while a line was due or out");
          over_ = true;
          break;
      }
    }
    Expect(!awaiting_ || over_, "the window never acted on a complete reply");
    Expect(over_, "the run ended with its port open");
    return verdict_;
  }

  // The last line the run sent, and whether the station acknowledged it.
  std::size_t Current() const { return current_; }
  bool Acknowledged() const { return acknowledged_; }

 private:
  // What the window must do next.
  enum class Due { Nothing, StartDelayLine, Line, FillerThenLine, Close };
  struct Byte {
    char c;
    int writesBefore;
  };

  void OnTimeout(std::uint32_t interval) {
    if (!started_) {
      Expect(interval == 1000, "the start delay is not 1000 ms");
      due_ = Due::StartDelayLine;
      return;
    }
    Expect(due_ == Due::Nothing, "the timer ran while a line was due");
    Expect(interval == (current_ == 0 ? 10000u : 1000u),
           "reply time " + std::to_string(interval) + " ms after " + lines_[current_]);
    if (current_ == 0 || sends_[current_] >= 4) {
      Close(Ending::Failed, "Command timeout.");
    } else {
      due_ = Due::FillerThenLine;
    }
  }

  void OnWrite(const std::string& bytes) {
    if (!started_) {
      Expect(due_ == Due::StartDelayLine, "a line before the start delay ran out");
      Expect(bytes == kErase, "the first line is not the erase line: " + Printable(bytes));
      started_ = true;
      sends_.assign(lines_.size(), 0);
      Sent(0);
      return;
    }
    if (due_ == Due::FillerThenLine) {
      Expect(bytes == kFiller, "no filler before a line sent again after a timeout");
      due_ = Due::Line;
      return;
    }
    Expect(due_ == Due::Line, "a write nothing called for: " + Printable(bytes));
    Expect(bytes == lines_[next_], "wrote " + Printable(bytes) + ", expected " + lines_[next_]);
    Sent(next_);
    // What followed the reply in the same read came before this line and
    // cannot answer it; the purge before the line dropped the rest.
    unread_.clear();
    awaiting_ = false;
  }

  void Sent(std::size_t line) {
    if (line != current_) acknowledged_ = false;
    current_ = line;
    sentAt_ = writes_;
    ++sends_[line];
    Expect(sends_[0] <= 1, "the erase line went out twice");
    Expect(sends_[line] <= 4, lines_[line] + " went out more than four times");
    due_ = Due::Nothing;
  }

  // The window examines the bytes it has read one at a time, until a reply
  // is complete.
  void Examine() {
    while (!awaiting_ && due_ == Due::Nothing && !unread_.empty()) {
      const Byte b = unread_.front();
      unread_.pop_front();
      if (b.c == '\n' && !since_.empty() && since_.back() == '\r') {
        const bool positive = since_.size() >= 2 && since_[since_.size() - 2] == '.';
        since_.clear();
        OnReply(positive, b.writesBefore);
      } else {
        since_.push_back(b.c);
      }
    }
  }

  void OnReply(bool positive, int writesBefore) {
    awaiting_ = true;
    if (positive) {
      // An acknowledgement is the station's answer to the line only when it
      // arrived after the line was written.
      Expect(writesBefore >= sentAt_, "an acknowledgement that arrived before " + lines_[current_] +
                                          " was written passed it");
      acknowledged_ = true;
      if (current_ + 1 == lines_.size()) {
        Close(Ending::Done, "");
        return;
      }
      next_ = current_ + 1;
      due_ = Due::Line;
      return;
    }
    if (current_ == 0 || sends_[current_] >= 4) {
      Close(Ending::Failed, "Communication error.");
      return;
    }
    next_ = current_;
    due_ = Due::Line;
  }

  void Close(Ending ending, std::string message) {
    verdict_ = {ending, std::move(message)};
    due_ = Due::Close;
  }

  const std::vector<std::string> lines_;
  std::vector<int> sends_;
  std::string port_;
  std::deque<Byte> input_, unread_;
  std::string since_;
  int writes_ = 0, sentAt_ = 0;
  std::size_t current_ = 0, next_ = 0;
  bool started_ = false, awaiting_ = false, acknowledged_ = false, over_ = false;
  Due due_ = Due::Nothing;
  Verdict verdict_;
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
        port.peer = [this, name = p.name](const std::vector<std::uint8_t>& written,
                                          std::vector<std::uint8_t>& reply) {
          std::string now;
          Answer(script_, late_, name, std::string(written.begin(), written.end()), now);
          if (!now.empty()) os_.Delivered(name, now);
          reply.assign(now.begin(), now.end());
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

  void OneRun() {
    Tell("--- Start");
    form_.boxes.clear();
    form_.button.enables = form_.button.disables = 0;
    late_.clear();
    const std::int32_t maxBefore = form_.progress.max;
    Expect(form_.button.enabled, "Start is disabled before the press");
    form_.button.OnClick(&form_.button);

    int steps = 0;
    for (;;) {
      Settle();
      if (form_.button.enabled) break;
      if (++steps > 5000) Fault("the run did not end");
      const unsigned action = script_.Choice(3);
      if (action == 2 && AnyPortOpen()) {
        // Noise on the line at any moment.
        for (const PortSetup& p : setups_) {
          if (os_.WithPort(p.name, [](FakeCommOs::Port& port) { return port.open; })) {
            const std::string bytes = script_.Bytes(4);
            if (bytes.empty()) continue;
            Tell("noise " + p.name + " " + Printable(bytes));
            os_.Delivered(p.name, bytes);
            os_.Receive(p.name, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
          }
        }
        continue;
      }
      if ((action == 0 || !form_.delay.enabled) && !late_.empty()) {
        Late l = std::move(late_.front());
        late_.pop_front();
        const bool open = os_.WithPort(l.port, [](FakeCommOs::Port& port) { return port.open; });
        Tell("late " + l.port + " " + Printable(l.bytes) + (open ? "" : " (port closed)"));
        if (open) {
          os_.Delivered(l.port, l.bytes);
          os_.Receive(l.port, std::vector<std::uint8_t>(l.bytes.begin(), l.bytes.end()));
        }
        continue;
      }
      Expect(form_.delay.enabled, "the run stands still: Start disabled, no timer running");
      // The countdown runs out: a tick leaves the timer disabled.
      form_.delay.enabled = false;
      os_.Tick(form_.delay.interval);
      form_.delay.OnTimer(&form_.delay);
    }
    // Late bytes of this run never reach the next.
    late_.clear();
    Judge(maxBefore);
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
    if (!upgraded) return;
    // The conversation begins with the start delay running out.
    std::size_t from = i;
    while (from > 0 && log[from - 1].kind == Io::Purge) --from;
    Expect(from > 0 && log[from - 1].kind == Io::Timeout,
           "the erase line went out before the start delay ran out");
    Expect(form_.progress.position == 0, "the progress bar is not at 0 after the upgrade");
    Conversation conversation(expectedLines_);
    const Verdict verdict = conversation.Follow(log, from - 1);
    Expect(verdict.ending == ending && verdict.message == message,
           "the run ended with " + (ending == Ending::Done ? std::string("Done.") : message) +
               ", the conversation calls for " +
               (verdict.ending == Ending::Done ? std::string("Done.") : verdict.message));
    if (ending == Ending::Done) {
      // Every block and every closing command was acknowledged.
      Expect(conversation.Current() + 1 == expectedLines_.size() && conversation.Acknowledged(),
             "Done. before the last closing command was acknowledged");
    }
  }

  Script script_;
  RecordingOs os_;
  Form form_;
  app::TNamedPortSource source_{{}};
  std::vector<PortSetup> setups_;
  std::vector<std::string> expectedLines_;
  std::deque<Late> late_;
  int componentBoxes_ = 0;
  std::unique_ptr<app::TMainPanel> panel_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  g_story.clear();
  Harness(data, size).Run();
  // KSIDU_ENGINE_STORY=1 tells every run, for reading what an input does.
  static const bool tell = std::getenv("KSIDU_ENGINE_STORY") != nullptr;
  if (tell) std::fprintf(stderr, "%s", g_story.c_str());
  return 0;
}
