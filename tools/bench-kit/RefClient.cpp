// ks-refclient: the least a client can do to upgrade a station, as the
// yardstick for the tool's own exchange. Every line is formed before the port
// is opened; then each one goes out with one plain write() and the client
// waits in poll() for the reply's ". CR LF" before the next. No identify
// frame, no start delay, no purge, no retries, no trace.
//
//   ks-refclient PORT
//
// Before the first line it reads the modem lines once (TIOCMGET), as any
// client checks carrier detect before it talks; a pty without modem lines
// has none to read. On a USB adapter that one read is its whole cost of the
// lines.
//
// Prints "exchange_seconds S lines N" (erase line written to last
// acknowledgement, on the client's clock) and exits 0 when every line was
// acknowledged. Exit status: 1 usage, 2 the port cannot be opened or set up
// or has no carrier detect, 3 no reply in time, 4 a negative reply, 5 the
// port failed.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Bootloader.h"
#include "EmbeddedImage.h"
#include "IntelHex.h"

namespace {

using Clock = std::chrono::steady_clock;

// The whole conversation after the identify exchange, in order.
std::vector<std::string> AllLines() {
  static std::uint8_t image[upgrade::kImageSize];
  std::int32_t progressMax = 0;
  upgrade::LoadImageLines(resources::EmbeddedImageLines(), image, progressMax);
  std::vector<std::string> lines{std::string(upgrade::kEraseLine)};
  for (std::uint32_t address = 0; address < upgrade::kImageSize; address += upgrade::kBlockSize) {
    if (auto line = upgrade::ProgrammingLine(image, address)) lines.push_back(std::move(*line));
  }
  lines.emplace_back(upgrade::kResetLine1);
  lines.emplace_back(upgrade::kResetLine2);
  lines.emplace_back(upgrade::kResetLine3);
  return lines;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

enum class Wait { Positive, Negative, Timeout, Failed };

// Reads until a reply completes: CR LF, positive when a full stop came just
// before the CR. The history outlives the call, as replies span reads.
Wait AwaitReply(int fd, char (&history)[3], Clock::time_point deadline) {
  char buffer[256];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Wait::Timeout;
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Wait::Failed;
    if (ready == 0) continue;  // the deadline test above decides
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return Wait::Failed;
    for (ssize_t i = 0; i < n; ++i) {
      history[2] = history[1];
      history[1] = history[0];
      history[0] = buffer[i];
      if (history[0] == '\n' && history[1] == '\r') {
        history[0] = history[1] = 0;
        // Anything after the reply in this read belongs to no line of ours.
        return history[2] == '.' ? Wait::Positive : Wait::Negative;
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '-') {
    std::fprintf(stderr, "Usage: ks-refclient PORT\n");
    return 1;
  }
  const std::vector<std::string> lines = AllLines();

  const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  if (fd < 0 || tcgetattr(fd, &tio) != 0) {
    std::fprintf(stderr, "ks-refclient: cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 2;
  }
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&tio, B19200);
  cfsetospeed(&tio, B19200);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    std::fprintf(stderr, "ks-refclient: cannot set up %s: %s\n", argv[1], std::strerror(errno));
    close(fd);
    return 2;
  }

  int modemLines = 0;
  if (ioctl(fd, TIOCMGET, &modemLines) == 0 && !(modemLines & TIOCM_CAR)) {
    std::fprintf(stderr, "ks-refclient: no carrier detect on %s\n", argv[1]);
    close(fd);
    return 2;
  }

  char history[3] = {0, 0, 0};
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!WriteAll(fd, lines[i])) {
      std::fprintf(stderr, "ks-refclient: write failed: %s\n", std::strerror(errno));
      close(fd);
      return 5;
    }
    const auto allowed = std::chrono::milliseconds(i == 0 ? 10000 : 1000);
    switch (AwaitReply(fd, history, Clock::now() + allowed)) {
      case Wait::Positive:
        break;
      case Wait::Negative:
        std::fprintf(stderr, "ks-refclient: negative reply to line %zu\n", i + 1);
        close(fd);
        return 4;
      case Wait::Timeout:
        std::fprintf(stderr, "ks-refclient: no reply to line %zu\n", i + 1);
        close(fd);
        return 3;
      case Wait::Failed:
        std::fprintf(stderr, "ks-refclient: read failed: %s\n", std::strerror(errno));
        close(fd);
        return 5;
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  close(fd);
  std::printf("exchange_seconds %.6f lines %zu\n", seconds, lines.size());
  return 0;
}
