// Measures the station simulator: the model's cost per line, and ks-station's
// round trip per line on a pty, unpaced and paced at 19,200 baud. Prints
// numbers only; it asserts nothing. Run: station_bench [lines]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Station.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string DataLine(unsigned address) {
  static const char kHex[] = "0123456789ABCDEF";
  std::vector<unsigned> fields = {16, address >> 8, address & 0xFF, 0};
  for (unsigned i = 0; i < 16; ++i) fields.push_back((address * 7 + i * 13) & 0xFF);
  unsigned sum = 0;
  for (unsigned b : fields) sum += b;
  fields.push_back((0x100 - (sum & 0xFF)) & 0xFF);
  std::string line = ":";
  for (unsigned b : fields) {
    line.push_back(kHex[b >> 4]);
    line.push_back(kHex[b & 0xF]);
  }
  return line;
}

std::vector<std::string> Run(int lines) {
  std::vector<std::string> out = {":0100000307F5"};
  for (int i = 0; i < lines; ++i) out.push_back(DataLine(static_cast<unsigned>(i) * 16));
  for (const char* l : {":03000003060000F4", ":020000030501F5", ":00000008F8"}) out.push_back(l);
  return out;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void BenchModel(const std::vector<std::string>& run) {
  std::size_t bytes = 0;
  for (const auto& l : run) bytes += l.size();
  for (bool byByte : {false, true}) {
    const int rounds = 20;
    const auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
      station::Station s;
      for (const auto& l : run) {
        if (byByte) {
          for (char c : l) s.Receive(std::span(reinterpret_cast<const std::uint8_t*>(&c), 1));
        } else {
          s.Receive(std::span(reinterpret_cast<const std::uint8_t*>(l.data()), l.size()));
        }
      }
    }
    const double t = Seconds(Clock::now() - start) / rounds;
    std::printf("model, %s: %.3f ms per run of %zu lines, %.2f us per line, %.1f ns per byte\n",
                byByte ? "byte by byte" : "line by line", t * 1e3, run.size(),
                t * 1e6 / static_cast<double>(run.size()), t * 1e9 / static_cast<double>(bytes));
  }
}

void BenchProgram(const std::vector<std::string>& run, const char* baud) {
  int out[2];
  if (::pipe(out) != 0) return;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::execl(KS_STATION_PATH, KS_STATION_PATH, "--baud", baud, "--summary", "/dev/null",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string name;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') name.push_back(c);
  const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);

  std::vector<double> trips;
  const auto start = Clock::now();
  for (const auto& line : run) {
    const auto sent = Clock::now();
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) break;
    std::size_t got = 0;
    char buf[16];
    while (got < 3) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) break;
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got < 3) {
      std::printf("program: no reply\n");
      break;
    }
    trips.push_back(Seconds(Clock::now() - sent) * 1e3);
  }
  const double total = Seconds(Clock::now() - start);
  ::close(fd);
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  ::close(out[0]);
  if (trips.empty()) return;
  std::sort(trips.begin(), trips.end());
  const double wire = std::atof(baud) > 0 ? (43.0 + 3.0) * 10.0 / std::atof(baud) * 1e3 : 0;
  std::printf(
      "ks-station on a pty, --baud %s: %zu lines in %.3f s; round trip per programming line "
      "median %.3f ms, 99th percentile %.3f ms, max %.3f ms%s\n",
      baud, trips.size(), total, trips[trips.size() / 2], trips[trips.size() * 99 / 100],
      trips.back(),
      wire > 0 ? (" (wire time of line and reply " + std::to_string(wire) + " ms)").c_str() : "");
}

}  // namespace

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 1929;
  const auto run = Run(lines);
  BenchModel(run);
  BenchProgram(run, "0");
  BenchProgram(Run(std::min(lines, 200)), "19200");
  return 0;
}
