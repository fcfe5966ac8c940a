#include "StationApp.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iomanip>
#include <limits>
#include <set>
#include <sstream>

#include "JsonText.h"

namespace station {

namespace {

bool ParseNumber(const std::string& text, std::uint64_t min, std::uint64_t max,
                 std::uint64_t& out) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) return false;
  out = value;
  return true;
}

bool ParseSeconds(const std::string& text, double& out) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return false;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value) || value > 1e6) return false;
  out = value;
  return true;
}

bool ParseFault(const std::string& text, FaultRule& rule) {
  const auto eq = text.find('=');
  if (eq == std::string::npos) return false;
  const std::string where = text.substr(0, eq);
  const std::string kind = text.substr(eq + 1);
  const auto colon = where.find(':');
  std::uint64_t line = 0;
  std::uint64_t attempt = 0;
  // "*" is every line.
  if (where.substr(0, colon) != "*" && !ParseNumber(where.substr(0, colon), 1, 1000000, line))
    return false;
  if (colon != std::string::npos && !ParseNumber(where.substr(colon + 1), 0, 1000000, attempt))
    return false;
  // late:MS carries its time, echoarrive:MS may.
  for (const auto& [name, fault] :
       {std::pair{"late:", Fault::Late}, std::pair{"echoarrive:", Fault::EchoArrival}}) {
    const std::string prefix = name;
    if (!kind.starts_with(prefix)) continue;
    std::uint64_t ms = 0;
    if (!ParseNumber(kind.substr(prefix.size()), 0, 3600000, ms)) return false;
    rule = FaultRule{static_cast<int>(line), static_cast<int>(attempt), fault,
                     static_cast<std::uint32_t>(ms)};
    return true;
  }
  static const std::pair<const char*, Fault> kKinds[] = {{"none", Fault::None},
                                                         {"silent", Fault::Silent},
                                                         {"negative", Fault::Negative},
                                                         {"echo", Fault::Echo},
                                                         {"split", Fault::Split},
                                                         {"garbage", Fault::Garbage},
                                                         {"two", Fault::TwoReplies},
                                                         {"echocrlf", Fault::EchoCrLf},
                                                         {"echoarrive", Fault::EchoArrival}};
  for (const auto& [name, fault] : kKinds) {
    if (kind == name) {
      rule = FaultRule{static_cast<int>(line), static_cast<int>(attempt), fault};
      return true;
    }
  }
  return false;
}

std::string Printable(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  for (std::uint8_t b : bytes) {
    if (b == '\r') {
      out += "\\r";
    } else if (b == '\n') {
      out += "\\n";
    } else if (b >= 0x20 && b < 0x7F && b != '\\') {
      out.push_back(static_cast<char>(b));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out;
}

}  // namespace

std::string HelpText() {
  return R"(Usage: ks-station [OPTIONS]

Plays the station (the indoor unit's bootloader) for the firmware upgrade
tool on a serial line: it answers the identify frame, takes the erase line,
the programming lines and the closing commands, and keeps a 64 KiB memory.
The first line on standard output is the name of the port to give the tool
(the pty slave's path, or the device); nothing else goes to standard output
unless --verbose is given.

Port:
  --device PATH        play on this serial device (Windows: COM1, COM2, ...)
  --pty                play on a new pseudo-terminal (Linux; the default when
                       no --device is given)
  --link PATH          with --pty: also make a symlink PATH to the pty slave
                       (an existing symlink there is replaced)
  --modem-dir DIR      with --pty: give the slave carrier detect, CTS and DSR
                       through the ptymodem preload library's line file
                       DIR/<pty number>
  --line-speed N       with --device: the line speed in baud (default 19200)

Identify frame:
  --identify KIND      the answer to the identify frame: accept10 (default),
                       a 10-byte acceptance with A2 at offset 4; accept8, an
                       8-byte acceptance with status 00; refuse, 5A 07 00 00
                       A2 FE FD; silent, no answer; badsum, the accept10
                       reply with its checksum off by one
  --answer-from N      leave the identify frames before the N-th unanswered
                       (default 1: answer the first)
  --identify-ms N      time before the identify answer (default 0)

Bootloader lines:
  --erase-ms N         time the erase takes before its acknowledgement (default 0)
  --line-ms N          time before the reply to any other line (default 0)
  --fault LINE[:ATTEMPT]=KIND
                       repeatable; the first matching rule wins. LINE 1 is the
                       erase line, 2, 3, ... the following distinct lines in
                       the order received, * every line; ATTEMPT 1 is the first receipt, 2
                       the first resend, ...; 0 or none means every attempt.
                       KIND: silent (no reply), negative ("E\r\n"),
                       echo (the line back, then ".\r\n"),
                       split (".", "\r", "\n" apart), garbage (junk with a lone
                       CR and a lone LF, then ".\r\n"), two (".\r\n.\r\n"),
                       echocrlf (the line back and CR LF, then ".\r\n", at
                       once), echoarrive[:MS] (the line back and CR LF as
                       soon as it arrives, ".\r\n" when the work is done,
                       after MS milliseconds if given), late:MS (the usual
                       reply after MS milliseconds; the station takes
                       nothing else meanwhile)
  --hang-up-after N    close the station's side right after the reply to line
                       N (a removed adapter), then write the summary and exit

Timing:
  --baud N             pace as if on a line of N baud: each byte sent and
                       received takes its wire time (10 bits); 0 = unpaced
                       (default)
  --latency-timer MS   play a USB adapter's latency timer: what the station
                       sends reaches the tool only at the next multiple of
                       MS ms, as an FTDI chip holds a short reply until its
                       timer runs out (1 to 255; default: none)

Ending and results:
  --idle-exit SECONDS  write the summary and exit after this long without
                       traffic (counted from the start while nothing came);
                       never while replies are still due. 0 = never (default)
  --summary FILE       write the summary there (default: standard error)
  --dump FILE          write the 64 KiB memory there at exit
  --verbose            log frames, records and replies on standard output
  --help               print this text and exit
  --version            print the version and the hash of the firmware image
                       that the tool of the same build carries, and exit

The program also ends on SIGINT or SIGTERM (Ctrl+C), writing the summary.
Exit status: 0 after any of these endings, 1 when the port failed or a result
file could not be written, 2 for bad options.

Summary (one JSON object):
  identify_frames    correct identify frames seen
  bad_frames         frames starting with 0x5A that were not a correct
                     identify frame
  records            every record in order: {"text", "line", "attempt",
                     "checksum_ok", "acknowledged", "time"}; time in seconds
                     since the program started
  erase_count        erase lines acknowledged
  fillers            runs of exactly fifty '0' between records
  junk_bytes         bytes that were neither frames, records nor fillers
  last_command_seen  whether ":00000008F8" was acknowledged
  hung_up            whether the station hung up (--hang-up-after)
  memory_sha256      SHA-256 of the 64 KiB memory (it starts as all 00; the
                     erase line sets it to all FF)
)";
}

ParseResult ParseOptions(const std::vector<std::string>& args, Options& options,
                         std::string& error) {
  bool pty = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") return ParseResult::Help;
    if (arg == "--version") return ParseResult::Version;
    if (arg == "--pty") {
      pty = true;
      continue;
    }
    if (arg == "--verbose") {
      options.verbose = true;
      continue;
    }
    // Only the options below take a value: anything else that looks like an
    // option is unknown, wherever it stands.
    static const std::set<std::string> kTakesValue = {
        "--device",   "--link",        "--modem-dir",     "--line-speed",
        "--identify", "--answer-from", "--identify-ms",   "--erase-ms",
        "--line-ms",  "--fault",       "--hang-up-after", "--baud",
        "--summary",  "--idle-exit",   "--dump",          "--latency-timer"};
    if (arg.rfind("--", 0) == 0 && !kTakesValue.contains(arg)) {
      error = "unknown option: " + arg;
      return ParseResult::Error;
    }
    if (i + 1 >= args.size() || arg.rfind("--", 0) != 0) {
      error = arg.rfind("--", 0) == 0 ? "option " + arg + " needs a value"
                                      : "unexpected argument: " + arg;
      return ParseResult::Error;
    }
    const std::string& value = args[++i];
    std::uint64_t n = 0;
    bool ok = true;
    if (arg == "--device") {
      options.port.device = value;
      ok = !value.empty();
    } else if (arg == "--link") {
      options.port.link = value;
      ok = !value.empty();
    } else if (arg == "--modem-dir") {
      options.port.modemDir = value;
      ok = !value.empty();
    } else if (arg == "--line-speed") {
      ok = ParseNumber(value, 50, 4000000, n);
      options.port.lineSpeed = static_cast<std::uint32_t>(n);
    } else if (arg == "--identify") {
      static const std::pair<const char*, IdentifyAnswer> kAnswers[] = {
          {"accept10", IdentifyAnswer::Accept10},
          {"accept8", IdentifyAnswer::Accept8},
          {"refuse", IdentifyAnswer::Refuse},
          {"silent", IdentifyAnswer::Silent},
          {"badsum", IdentifyAnswer::BadChecksum}};
      ok = false;
      for (const auto& [name, answer] : kAnswers) {
        if (value == name) {
          options.config.identify = answer;
          ok = true;
        }
      }
    } else if (arg == "--answer-from") {
      ok = ParseNumber(value, 1, 1000000, n);
      options.config.answerFromFrame = static_cast<int>(n);
    } else if (arg == "--identify-ms") {
      ok = ParseNumber(value, 0, 3600000, n);
      options.config.identifyMs = static_cast<std::uint32_t>(n);
    } else if (arg == "--erase-ms") {
      ok = ParseNumber(value, 0, 3600000, n);
      options.config.eraseMs = static_cast<std::uint32_t>(n);
    } else if (arg == "--line-ms") {
      ok = ParseNumber(value, 0, 3600000, n);
      options.config.lineMs = static_cast<std::uint32_t>(n);
    } else if (arg == "--fault") {
      FaultRule rule{};
      ok = ParseFault(value, rule);
      if (ok) options.config.faults.push_back(rule);
    } else if (arg == "--hang-up-after") {
      ok = ParseNumber(value, 0, 1000000, n);
      options.config.hangUpAfterLine = static_cast<int>(n);
    } else if (arg == "--baud") {
      ok = ParseNumber(value, 0, 4000000, n) && (n == 0 || n >= 50);
      options.baud = static_cast<std::uint32_t>(n);
    } else if (arg == "--latency-timer") {
      ok = ParseNumber(value, 1, 255, n);
      options.latencyTimerMs = static_cast<std::uint32_t>(n);
    } else if (arg == "--summary") {
      options.summaryPath = value;
      ok = !value.empty();
    } else if (arg == "--idle-exit") {
      ok = ParseSeconds(value, options.idleExitSeconds);
    } else if (arg == "--dump") {
      options.dumpPath = value;
      ok = !value.empty();
    } else {
      error = "unknown option: " + arg;
      return ParseResult::Error;
    }
    if (!ok) {
      error = "bad value for " + arg + ": " + value;
      return ParseResult::Error;
    }
  }
  if (pty && !options.port.device.empty()) {
    error = "--pty and --device exclude each other";
    return ParseResult::Error;
  }
  if (options.port.device.empty() && !PtyAvailable()) {
    error = "no pseudo-terminals here: name the serial port with --device";
    return ParseResult::Error;
  }
  if (!options.port.device.empty() &&
      (!options.port.link.empty() || !options.port.modemDir.empty())) {
    error = "--link and --modem-dir go with a pty, not with --device";
    return ParseResult::Error;
  }
  return ParseResult::Run;
}

RunEnd RunStation(Station& station, StationPort& port, const Options& options,
                  std::ostream* verbose) {
  using Clock = std::chrono::steady_clock;
  constexpr double kNever = std::numeric_limits<double>::infinity();
  const auto start = Clock::now();
  auto now = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  const double byteTime = options.baud ? 10.0 / options.baud : 0.0;

  // Bytes read from the port whose wire time has not yet run out.
  struct Incoming {
    double complete;
    std::uint8_t byte;
  };
  std::deque<Incoming> input;
  double rxFree = 0;

  // Replies waiting for their moment.
  struct Outgoing {
    double due;
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
    // Held by the adapter until its timer ran out: its wire time is spent.
    bool held = false;
  };
  const double grid = options.latencyTimerMs / 1000.0;
  std::deque<Outgoing> output;
  double lastDue = 0;
  double txFree = 0;

  if (verbose) *verbose << std::fixed << std::setprecision(6);

  double lastTraffic = 0;
  bool wantWrite = false;
  std::vector<std::uint8_t> in;

  for (;;) {
    double t = now();

    while (!input.empty() && input.front().complete <= t) {
      const double when = input.front().complete;
      std::vector<std::uint8_t> group;
      while (!input.empty() && input.front().complete == when) {
        group.push_back(input.front().byte);
        input.pop_front();
      }
      const std::size_t recordsBefore = station.Records().size();
      const int framesBefore = station.IdentifyFrames();
      auto chunks = station.Receive(group, when);
      if (verbose) {
        if (station.IdentifyFrames() != framesBefore)
          *verbose << when << " identify frame " << station.IdentifyFrames() << "\n";
        for (std::size_t i = recordsBefore; i < station.Records().size(); ++i) {
          const Record& r = station.Records()[i];
          *verbose << when << " line " << r.line << " attempt " << r.attempt << " "
                   << (r.checksumOk ? "ok" : "BAD") << (r.acknowledged ? " acked " : " unacked ")
                   << r.text << "\n";
        }
        verbose->flush();
      }
      // The station works on one thing at a time: a reply still due delays the next.
      double due = std::max(when, lastDue);
      for (Chunk& c : chunks) {
        due += c.delayMs / 1000.0;
        if (grid > 0) {
          // The chip passes the bytes on at the first tick of its timer after
          // the last of them reached it.
          const double last =
              std::max(due, txFree) + static_cast<double>(c.bytes.size()) * byteTime;
          txFree = last;
          output.push_back(Outgoing{std::ceil(last / grid) * grid, std::move(c.bytes), 0, true});
        } else {
          output.push_back(Outgoing{due, std::move(c.bytes)});
        }
      }
      lastDue = due;
    }

    wantWrite = false;
    double nextOut = kNever;
    while (!output.empty()) {
      Outgoing& o = output.front();
      if (o.due > t) {
        nextOut = o.due;
        break;
      }
      std::size_t count = o.bytes.size() - o.sent;
      if (byteTime > 0 && !o.held) {
        // Only the bytes whose last bit would be out by now.
        double free = txFree;
        count = 0;
        while (o.sent + count < o.bytes.size()) {
          const double end = std::max(o.due, free) + byteTime;
          if (end > t) {
            nextOut = end;
            break;
          }
          free = end;
          ++count;
        }
        if (count == 0) break;
      }
      const long written = port.Write(std::span(o.bytes).subspan(o.sent, count));
      if (written < 0) return RunEnd::PortFailed;
      if (written > 0) {
        if (byteTime > 0 && !o.held)
          txFree = std::max(o.due, txFree) + static_cast<double>(written) * byteTime;
        if (verbose) {
          std::vector<std::uint8_t> part(
              o.bytes.begin() + static_cast<std::ptrdiff_t>(o.sent),
              o.bytes.begin() + static_cast<std::ptrdiff_t>(o.sent) + written);
          *verbose << t << " sent " << Printable(part) << std::endl;
        }
        o.sent += static_cast<std::size_t>(written);
        lastTraffic = t;
      }
      if (static_cast<std::size_t>(written) < count) {
        wantWrite = true;
        nextOut = kNever;
        break;
      }
      if (o.sent == o.bytes.size()) output.pop_front();
    }

    if (station.HungUp() && output.empty()) {
      if (verbose) *verbose << t << " hanging up" << std::endl;
      port.HangUp();
      return RunEnd::HungUp;
    }

    double deadline = kNever;
    if (options.idleExitSeconds > 0 && output.empty() && input.empty()) {
      deadline = lastTraffic + options.idleExitSeconds;
      if (t >= deadline) return RunEnd::IdleExit;
    }

    double next = std::min(nextOut, deadline);
    if (!input.empty()) next = std::min(next, input.front().complete);
    std::int64_t timeoutUs = -1;
    if (next != kNever)
      timeoutUs = static_cast<std::int64_t>(std::max(0.0, std::ceil((next - t) * 1e6)));

    in.clear();
    switch (port.Wait(timeoutUs, wantWrite, in)) {
      case WaitResult::Ready:
        break;
      case WaitResult::Stop:
        return RunEnd::Stopped;
      case WaitResult::Failed:
        return RunEnd::PortFailed;
    }
    if (!in.empty()) {
      const double arrival = now();
      lastTraffic = arrival;
      for (std::uint8_t b : in) {
        const double complete = byteTime > 0 ? std::max(arrival, rxFree) + byteTime : arrival;
        rxFree = complete;
        input.push_back(Incoming{complete, b});
      }
    }
  }
}

std::string SummaryJson(const Station& station) {
  std::ostringstream out;
  out << "{\n";
  out << "  \"identify_frames\": " << station.IdentifyFrames() << ",\n";
  out << "  \"bad_frames\": " << station.BadFrames() << ",\n";
  out << "  \"records\": [";
  const auto& records = station.Records();
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Record& r = records[i];
    char time[32];
    std::snprintf(time, sizeof time, "%.6f", r.timeSeconds);
    out << (i ? ",\n    " : "\n    ") << "{\"text\": " << app::JsonString(r.text)
        << ", \"line\": " << r.line << ", \"attempt\": " << r.attempt
        << ", \"checksum_ok\": " << (r.checksumOk ? "true" : "false")
        << ", \"acknowledged\": " << (r.acknowledged ? "true" : "false") << ", \"time\": " << time
        << "}";
  }
  out << (records.empty() ? "],\n" : "\n  ],\n");
  out << "  \"erase_count\": " << station.EraseCount() << ",\n";
  out << "  \"fillers\": " << station.Fillers() << ",\n";
  out << "  \"junk_bytes\": " << station.JunkBytes() << ",\n";
  out << "  \"last_command_seen\": " << (station.LastCommandSeen() ? "true" : "false") << ",\n";
  out << "  \"hung_up\": " << (station.HungUp() ? "true" : "false") << ",\n";
  out << "  \"memory_sha256\": \"" << Sha256Hex(station.Memory()) << "\"\n";
  out << "}\n";
  return out.str();
}

}  // namespace station
