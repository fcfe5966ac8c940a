// The ks-station program on a real pseudo-terminal: the test plays the tool
// with plain termios on the pty slave and checks the replies, the JSON
// summary and the memory dump.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MiniJson.h"
#include "Station.h"
#include "Watchdog.h"

namespace {

using namespace std::chrono_literals;

const std::string kIdentify("\x5A\x0A\x00\xF1\x30\x30\x30\x30\xFD\xEB", 10);
const std::string kErase = ":0100000307F5";
const std::string kLine0000 = ":10000000026921026FFEEF5403FF220276C0C2AFE5";
const std::string kLine1230 = ":10123000000102030405060708090A0B0C0D0E0F36";
const std::string kClose1 = ":03000003060000F4";
const std::string kClose2 = ":020000030501F5";
const std::string kClose3 = ":00000008F8";
const std::string kFiller(50, '0');

std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/ksidu-station-" + std::to_string(::getpid()) +
         "-" + name;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// ks-station as a child process, its first stdout line read.
class StationProcess {
 public:
  explicit StationProcess(std::vector<std::string> args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      std::vector<char*> argv;
      static std::string program = KS_STATION_PATH;
      argv.push_back(program.data());
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
    firstLine_ = ReadLine(5000);
  }
  ~StationProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  const std::string& FirstLine() const { return firstLine_; }
  pid_t Pid() const { return pid_; }
  void Signal(int sig) { ::kill(pid_, sig); }

  // The exit status, or -1 when it has not ended within `limit`.
  int WaitExit(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  // CPU time the process has used, in clock ticks.
  long CpuTicks() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;  // up to field 13
    long user = 0, system = 0;
    fields >> user >> system;
    return user + system;
  }

 private:
  std::string ReadLine(int ms) {
    std::string line;
    char c;
    while (true) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, ms) <= 0 || ::read(out_, &c, 1) != 1) return line;
      if (c == '\n') return line;
      line.push_back(c);
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  bool exited_ = false;
  std::string firstLine_;
};

// The tool's end: the pty slave, raw, as plain termios leaves it.
class Slave {
 public:
  explicit Slave(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return;
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B19200);
    ::tcsetattr(fd_, TCSANOW, &t);
  }
  ~Slave() { Close(); }
  bool IsOpen() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void Write(const std::string& s) {
    ASSERT_EQ(::write(fd_, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  // Reads until `want` bytes are in or `ms` passed.
  std::string Read(std::size_t want, int ms = 3000) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < want) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buf[256];
      const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, want - out.size()));
      if (n <= 0) {
        hungUp_ = true;
        break;
      }
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }
  // Whether the far end has gone: a read ends with end-of-file or an error.
  bool SeesHangUp(int ms) {
    Read(1000, ms);
    return hungUp_;
  }
  std::string Exchange(const std::string& line, std::size_t replyLength, int ms = 3000) {
    Write(line);
    return Read(replyLength, ms);
  }

 private:
  int fd_ = -1;
  bool hungUp_ = false;
};

TEST(StationProgram, PlaysAWholeRunOnAPty) {
  testsupport::Watchdog dog(60s, "ks-station run");
  const std::string summary = TempPath("summary.json");
  const std::string dump = TempPath("memory.bin");
  const std::string link = TempPath("link");
  StationProcess p({"--summary", summary, "--dump", dump, "--link", link, "--fault", "3:1=silent"});
  const std::string slavePath = p.FirstLine();
  ASSERT_EQ(slavePath.rfind("/dev/pts/", 0), 0u) << slavePath;
  char target[256] = {};
  ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), slavePath);

  {
    // A scan: the tool opens the port, identifies and closes it again.
    Slave scan(slavePath);
    ASSERT_TRUE(scan.IsOpen());
    EXPECT_EQ(scan.Exchange(kIdentify, 10),
              std::string("\x5A\x0A\x00\xF1\xA2\x00\x00\x00\xFE\x09", 10));
  }
  // The run on a second opening of the same port.
  Slave tool(slavePath);
  ASSERT_TRUE(tool.IsOpen());
  EXPECT_EQ(tool.Exchange(kIdentify, 10).size(), 10u);
  EXPECT_EQ(tool.Exchange(kErase, 3), ".\r\n");
  EXPECT_EQ(tool.Exchange(kLine0000, 3), ".\r\n");
  // The first receipt of line 3 goes unanswered; the tool sends the filler and the line again.
  EXPECT_EQ(tool.Exchange(kLine1230, 3, 300), "");
  EXPECT_EQ(tool.Exchange(kFiller + kLine1230, 3), ".\r\n");
  EXPECT_EQ(tool.Exchange(kClose1, 3), ".\r\n");
  EXPECT_EQ(tool.Exchange(kClose2, 3), ".\r\n");
  EXPECT_EQ(tool.Exchange(kClose3, 3), ".\r\n");
  tool.Close();

  p.Signal(SIGTERM);
  ASSERT_EQ(p.WaitExit(10s), 0);
  struct stat st {};
  EXPECT_NE(::lstat(link.c_str(), &st), 0) << "the link outlived the program";

  std::array<std::uint8_t, 65536> expected;
  expected.fill(0xFF);
  const std::uint8_t first[] = {0x02, 0x69, 0x21, 0x02, 0x6F, 0xFE, 0xEF, 0x54,
                                0x03, 0xFF, 0x22, 0x02, 0x76, 0xC0, 0xC2, 0xAF};
  std::copy(std::begin(first), std::end(first), expected.begin());
  for (int i = 0; i < 16; ++i) expected[0x1230 + i] = static_cast<std::uint8_t>(i);
  const std::string memory = ReadWholeFile(dump);
  ASSERT_EQ(memory.size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(),
                         reinterpret_cast<const std::uint8_t*>(memory.data())));

  const minijson::Value v = minijson::Parse(ReadWholeFile(summary));
  EXPECT_EQ(v["identify_frames"].number, 2);
  EXPECT_EQ(v["bad_frames"].number, 0);
  EXPECT_EQ(v["erase_count"].number, 1);
  EXPECT_EQ(v["fillers"].number, 1);
  EXPECT_EQ(v["junk_bytes"].number, 0);
  EXPECT_TRUE(v["last_command_seen"].boolean);
  EXPECT_FALSE(v["hung_up"].boolean);
  EXPECT_EQ(v["memory_sha256"].text, station::Sha256Hex(expected));
  const auto& records = v["records"];
  const std::string texts[] = {kErase, kLine0000, kLine1230, kLine1230, kClose1, kClose2, kClose3};
  const int lines[] = {1, 2, 3, 3, 4, 5, 6};
  ASSERT_EQ(records.items.size(), std::size(texts));
  double previous = 0;
  for (std::size_t i = 0; i < std::size(texts); ++i) {
    EXPECT_EQ(records[i]["text"].text, texts[i]) << i;
    EXPECT_EQ(records[i]["line"].number, lines[i]) << i;
    EXPECT_EQ(records[i]["attempt"].number, i == 3 ? 2 : 1) << i;
    EXPECT_TRUE(records[i]["checksum_ok"].boolean) << i;
    EXPECT_EQ(records[i]["acknowledged"].boolean, i != 2) << i;
    EXPECT_GT(records[i]["time"].number, previous) << i;
    previous = records[i]["time"].number;
  }
  ::unlink(summary.c_str());
  ::unlink(dump.c_str());
}

TEST(StationProgram, HangUpPlaysARemovedAdapter) {
  testsupport::Watchdog dog(60s, "ks-station hang-up");
  const std::string summary = TempPath("hangup.json");
  const std::string modemDir = TempPath("modem");
  ASSERT_EQ(::mkdir(modemDir.c_str(), 0700), 0);
  StationProcess p({"--hang-up-after", "2", "--summary", summary, "--modem-dir", modemDir});
  Slave tool(p.FirstLine());
  ASSERT_TRUE(tool.IsOpen());
  // The modem-line file gives the tool's end carrier detect, CTS and DSR.
  const std::string lineFile = modemDir + "/" + p.FirstLine().substr(p.FirstLine().rfind('/') + 1);
  const std::string bits = ReadWholeFile(lineFile);
  ASSERT_EQ(bits.size(), sizeof(std::int32_t));
  std::int32_t lines = 0;
  std::memcpy(&lines, bits.data(), sizeof lines);
  EXPECT_EQ(lines, TIOCM_CAR | TIOCM_CTS | TIOCM_DSR);
  EXPECT_EQ(tool.Exchange(kIdentify, 10).size(), 10u);
  EXPECT_EQ(tool.Exchange(kErase, 3), ".\r\n");
  EXPECT_EQ(tool.Exchange(kLine0000, 3), ".\r\n");
  // The program ends by itself; the port is gone for the tool.
  EXPECT_EQ(p.WaitExit(10s), 0);
  EXPECT_TRUE(tool.SeesHangUp(2000));
  tool.Close();
  EXPECT_FALSE(Slave(p.FirstLine()).IsOpen());
  // A later pty of the same number must not inherit the lines.
  EXPECT_NE(::access(lineFile.c_str(), F_OK), 0);
  ::rmdir(modemDir.c_str());

  const minijson::Value v = minijson::Parse(ReadWholeFile(summary));
  EXPECT_TRUE(v["hung_up"].boolean);
  EXPECT_EQ(v["records"].items.size(), 2u);
  EXPECT_FALSE(v["last_command_seen"].boolean);
  ::unlink(summary.c_str());
}

TEST(StationProgram, IdleExitAndNoSpinningWhileThePortIsClosed) {
  testsupport::Watchdog dog(60s, "ks-station idle exit");
  const std::string summary = TempPath("idle.json");
  {
    // Nothing ever comes: the idle time counts from the start.
    StationProcess quiet({"--idle-exit", "0.3", "--summary", summary});
    ASSERT_FALSE(quiet.FirstLine().empty());
    EXPECT_EQ(quiet.WaitExit(10s), 0);
    const minijson::Value v = minijson::Parse(ReadWholeFile(summary));
    EXPECT_EQ(v["identify_frames"].number, 0);
    EXPECT_TRUE(v["records"].items.empty());
  }
  StationProcess p({"--idle-exit", "2", "--summary", summary});
  {
    Slave tool(p.FirstLine());
    EXPECT_EQ(tool.Exchange(kIdentify, 10).size(), 10u);
  }
  // The tool has closed the port: the station waits for the next opener
  // without burning the processor.
  std::this_thread::sleep_for(1s);
  EXPECT_LT(p.CpuTicks(), 30);
  EXPECT_EQ(p.WaitExit(10s), 0);
  const minijson::Value v = minijson::Parse(ReadWholeFile(summary));
  EXPECT_EQ(v["identify_frames"].number, 1);
  ::unlink(summary.c_str());
}

TEST(StationProgram, PacedRepliesArriveWholeAndInOrder) {
  testsupport::Watchdog dog(60s, "ks-station paced");
  StationProcess p({"--baud", "19200", "--fault", "2=echo", "--summary", "/dev/null"});
  Slave tool(p.FirstLine());
  ASSERT_TRUE(tool.IsOpen());
  tool.Write(kIdentify + kErase);
  EXPECT_EQ(tool.Read(13).substr(10), ".\r\n");
  EXPECT_EQ(tool.Exchange(kLine0000, kLine0000.size() + 3), kLine0000 + ".\r\n");
  p.Signal(SIGINT);
  EXPECT_EQ(p.WaitExit(10s), 0);
}

TEST(StationProgram, RefusesBadOptionsAndMissingDevices) {
  testsupport::Watchdog dog(60s, "ks-station options");
  StationProcess bad({"--fault", "1=sometimes"});
  EXPECT_EQ(bad.FirstLine(), "");
  EXPECT_EQ(bad.WaitExit(10s), 2);
  StationProcess missing({"--device", TempPath("no-such-port")});
  EXPECT_EQ(missing.FirstLine(), "");
  EXPECT_EQ(missing.WaitExit(10s), 1);
}

}  // namespace
