// The reference client that tools/bench holds the tool against must do the
// very upgrade the tool does, and fail loudly when the station does not
// answer; and a quick pass of the benchmark must produce its table. Every run
// here is against ks-station on a pseudo-terminal.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Watchdog.h"

extern "C" char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<char*> Argv(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Runs a program to its end (killed after limit), collecting both outputs.
Result RunProgram(const std::vector<std::string>& args, std::chrono::seconds limit) {
  Result result;
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  std::vector<char*> argv = Argv(args);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (spawned == 0) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0 || poll(fds, 2, static_cast<int>(left)) <= 0) {
        kill(pid, SIGKILL);
        break;
      }
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          texts[i]->append(buffer, static_cast<std::size_t>(n));
        } else {
          fds[i].fd = -1;
          --open;
        }
      }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  close(out[0]);
  close(err[0]);
  return result;
}

// ks-station on a fresh pty, unpaced; stopped (and its summary written) by
// Stop or at the end of the test.
class Station {
 public:
  Station(const fs::path& dir, const std::vector<std::string>& extra) : summary_(dir / "s.json") {
    std::vector<std::string> args{KSIDU_STATION_PROGRAM, "--summary", summary_.string(),
                                  "--idle-exit", "20"};
    args.insert(args.end(), extra.begin(), extra.end());
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv = Argv(args);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
    // The first line names the pty.
    char c;
    pollfd p{out_, POLLIN, 0};
    while (pid_ > 0 && poll(&p, 1, 10000) > 0 && read(out_, &c, 1) == 1 && c != '\n') port_ += c;
  }
  ~Station() { Stop(); }
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  const std::string& Port() const { return port_; }
  std::string Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      close(out_);
    }
    return ReadFile(summary_);
  }

 private:
  fs::path summary_;
  pid_t pid_ = -1;
  int out_ = -1;
  std::string port_;
};

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string MemoryHash(const std::string& summary) {
  std::smatch m;
  return std::regex_search(summary, m, std::regex("\"memory_sha256\": \"([0-9a-f]{64})\""))
             ? m[1].str()
             : "";
}

class BenchSmoke : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("ksidu-bench-smoke-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(BenchSmoke, TheReferenceClientProgramsWhatTheToolProgramsLineForLine) {
  testsupport::Watchdog watchdog(60s, "reference client run");
  fs::create_directories(dir_ / "a");
  Station forRef(dir_ / "a", {});
  ASSERT_FALSE(forRef.Port().empty());
  const Result ref = RunProgram({KSIDU_REFCLIENT_PROGRAM, forRef.Port()}, 30s);
  const std::string refSummary = forRef.Stop();
  EXPECT_EQ(ref.status, 0) << ref.err;
  EXPECT_TRUE(
      std::regex_match(ref.out, std::regex("exchange_seconds [0-9]+\\.[0-9]{6} lines 1933\n")))
      << ref.out;
  // Every line once, acknowledged, nothing else on the line.
  EXPECT_EQ(Count(refSummary, "\"acknowledged\": true"), 1933u);
  EXPECT_EQ(Count(refSummary, "\"attempt\": 1,"), 1933u);
  EXPECT_NE(refSummary.find("\"last_command_seen\": true"), std::string::npos);
  EXPECT_NE(refSummary.find("\"erase_count\": 1,"), std::string::npos);
  EXPECT_NE(refSummary.find("\"junk_bytes\": 0,"), std::string::npos);

  // The tool on a pty of its own leaves the station's memory exactly so.
  fs::create_directories(dir_ / "b");
  Station forTool(dir_ / "b", {});
  const Result tool = RunProgram({KSIDU_CLI_PROGRAM, "--port", forTool.Port()}, 30s);
  const std::string toolSummary = forTool.Stop();
  EXPECT_EQ(tool.status, 0) << tool.err;
  ASSERT_EQ(MemoryHash(refSummary).size(), 64u) << refSummary.substr(0, 200);
  EXPECT_EQ(MemoryHash(refSummary), MemoryHash(toolSummary));
  EXPECT_EQ(Count(toolSummary, "\"acknowledged\": true"), 1933u);
}

TEST_F(BenchSmoke, TheReferenceClientFailsClearlyWhenTheStationDoesNotAcknowledge) {
  testsupport::Watchdog watchdog(60s, "reference client failures");
  {
    Station station(dir_, {"--fault", "3=negative"});
    const Result r = RunProgram({KSIDU_REFCLIENT_PROGRAM, station.Port()}, 20s);
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("negative reply to line 3"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  {
    // A programming line gets a second, not the erase line's ten.
    Station station(dir_, {"--fault", "3=silent"});
    const auto start = std::chrono::steady_clock::now();
    const Result r = RunProgram({KSIDU_REFCLIENT_PROGRAM, station.Port()}, 20s);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("no reply to line 3"), std::string::npos) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
  }
  {
    // The station goes away after the erase: the client stops, it does not wait or spin.
    Station station(dir_, {"--hang-up-after", "1"});
    const Result r = RunProgram({KSIDU_REFCLIENT_PROGRAM, station.Port()}, 20s);
    EXPECT_EQ(r.status, 5) << r.err;
  }
  const Result missing =
      RunProgram({KSIDU_REFCLIENT_PROGRAM, (dir_ / "no-such-port").string()}, 10s);
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
  EXPECT_EQ(RunProgram({KSIDU_REFCLIENT_PROGRAM}, 10s).status, 1);
}

TEST_F(BenchSmoke, AQuickPassPrintsTheTableAndKeepsTheNoteAroundIt) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the bench preloads the modem-line library, which an ASan program refuses";
#else
  testsupport::Watchdog watchdog(120s, "quick bench pass");
  const fs::path doc = dir_ / "benchmarks.md";
  {
    std::ofstream out(doc);
    out << "# Note kept\n\n<!-- tools/bench writes from here -->\nold figures\n"
           "<!-- tools/bench writes up to here -->\n\nTrailer kept.\n";
  }
  const Result r = RunProgram({"/usr/bin/python3", KSIDU_BENCH_SCRIPT, "--quick", "--sections", "2",
                               "--runs", "1", "--build", KSIDU_BUILD_DIR, "--output", doc.string()},
                              100s);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string text = ReadFile(doc);
  for (const char* row : {"| ks-idu-cli per exchange | ", "| reference client per exchange | ",
                          "| ks-idu-cli / reference client (same run triple) | "}) {
    const auto at = text.find(row);
    ASSERT_NE(at, std::string::npos) << row << "\n" << text;
    // Three numbers: minimum, median, maximum.
    EXPECT_TRUE(std::regex_search(text.substr(at), std::regex("^\\|[^|]+\\| [0-9.,]+ \\| [0-9.,]+ "
                                                              "\\| [0-9.,]+ \\|")))
        << text.substr(at, 120);
  }
  EXPECT_EQ(text.rfind("# Note kept\n", 0), 0u);
  EXPECT_NE(text.find("\n\nTrailer kept.\n"), std::string::npos);
  EXPECT_EQ(text.find("old figures"), std::string::npos);
  EXPECT_EQ(Count(text, "<!-- tools/bench writes from here -->"), 1u);
  EXPECT_NE(r.out.find("Machine: "), std::string::npos);
  EXPECT_EQ(r.out.find("run failed"), std::string::npos) << r.out;
#endif
}

}  // namespace
