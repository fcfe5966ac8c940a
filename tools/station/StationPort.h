// The serial line that ks-station plays the station on: a small interface,
// with one implementation per operating system (StationPortPosix.cpp,
// StationPortWin32.cpp), so that everything else stays portable.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace station {

struct PortOptions {
  std::string device;               // empty: a new pseudo-terminal (POSIX only)
  std::string link;                 // with a pty: also a symlink of this name to its slave
  std::string modemDir;             // with a pty: line file for the ptymodem preload library
  std::uint32_t lineSpeed = 19200;  // with a device: its line speed
};

enum class WaitResult {
  Ready,   // input was read, output may go, or the time ran out
  Stop,    // the user asked the program to end (SIGINT, SIGTERM, Ctrl+C)
  Failed,  // the port is gone; Error() says why
};

class StationPort {
 public:
  virtual ~StationPort() = default;
  // The name to give the tool: the pty slave's path, or the device.
  virtual std::string Name() const = 0;
  // Blocks until input has come (appended to `in`), output can go (only when
  // wantWrite), a stop is asked for, or timeoutUs has passed (negative: no limit).
  virtual WaitResult Wait(std::int64_t timeoutUs, bool wantWrite,
                          std::vector<std::uint8_t>& in) = 0;
  // Writes what the port takes without a long wait: the count written, or -1
  // when the port failed.
  virtual long Write(std::span<const std::uint8_t> bytes) = 0;
  // Plays a removed adapter: the station's lines drop and its side closes.
  virtual void HangUp() = 0;
  virtual std::string Error() const = 0;
};

// Opens the port that the options name; null with `error` set when it cannot.
std::unique_ptr<StationPort> OpenStationPort(const PortOptions& options, std::string& error);

// Makes SIGINT and SIGTERM (Ctrl+C on Windows) end the wait of Wait with Stop.
void InstallStopHandlers();

// Whether the platform can make a pseudo-terminal.
bool PtyAvailable();

}  // namespace station
