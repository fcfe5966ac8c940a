// The built programs' command lines: what they print, where, and their exit
// status. No run here touches a serial port of the machine.
#include <gtest/gtest.h>

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern "C" char** environ;

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

Result RunProgram(const std::string& path, const std::vector<std::string>& arguments) {
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
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (spawned == 0) {
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0 && poll(fds, 2, 30000) > 0) {
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

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// sha256sum's verdict on a file: the program's hash is taken apart from it.
std::string Sha256Sum(const std::filesystem::path& file) {
  const Result sum = RunProgram("/usr/bin/sha256sum", {file.string()});
  EXPECT_EQ(sum.status, 0) << sum.err;
  return sum.out.substr(0, sum.out.find(' '));
}

// What every program's --version says of the image, worked out from the file:
// its line count and hash, and the stand-in's hash (of its lines joined by LF)
// compared with the one the repository keeps.
std::string ExpectedImageLines() {
  std::string text = ReadFile(KSIDU_IMAGE_FILE);
  for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  while (text.ends_with('\n')) text.pop_back();
  const std::size_t lines =
      1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  const std::filesystem::path joined = std::filesystem::temp_directory_path() /
                                       ("ksidu-programs-" + std::to_string(getpid()) + ".hex");
  std::ofstream(joined, std::ios::binary) << text;
  const bool standIn = Sha256Sum(joined) == ReadFile(KSIDU_STANDIN_HASH_FILE).substr(0, 64);
  std::filesystem::remove(joined);

  std::string expected = "firmware image: " + std::to_string(lines) + " lines, SHA-256 " +
                         Sha256Sum(KSIDU_IMAGE_FILE) + "\n";
  if (standIn) expected += "firmware image: the stand-in, not the station's firmware\n";
  return expected;
}

TEST(Programs, HelpAndVersionGoToStandardOutput) {
  const std::string image = ExpectedImageLines();
  ASSERT_EQ(image.find("SHA-256 \n"), std::string::npos) << "sha256sum failed";
  for (const std::string program : {KSIDU_CLI_PROGRAM, KSIDU_QT_PROGRAM, KSIDU_STATION_PROGRAM}) {
    if (program.empty()) continue;
    const std::string name = std::filesystem::path(program).filename().string();
    const Result version = RunProgram(program, {"--version"});
    EXPECT_EQ(version.status, 0) << name;
    EXPECT_EQ(version.out, name + " 2.3\n" + image);
    EXPECT_EQ(version.err, "");
    if (program == KSIDU_STATION_PROGRAM) continue;

    const Result help = RunProgram(program, {"--help"});
    EXPECT_EQ(help.status, 0) << name;
    EXPECT_TRUE(help.out.starts_with("Usage: " + name +
                                     " [--port NAME]... [--trace FILE] [--report FILE]\n"))
        << help.out;
    EXPECT_NE(help.out.find("--trace FILE"), std::string::npos);
    EXPECT_EQ(help.err, "");
  }
}

TEST(Programs, ABadCommandLineIsAUsageErrorWithStatusTwo) {
  for (const std::string program : {KSIDU_CLI_PROGRAM, KSIDU_QT_PROGRAM}) {
    if (program.empty()) continue;
    const std::string name = std::filesystem::path(program).filename().string();
    const Result bad = RunProgram(program, {"--port", "X", "--bogus"});
    EXPECT_EQ(bad.status, 2) << name;
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, name + ": unknown option '--bogus'\nTry '" + name +
                           " --help' for more information.\n");

    // A trace file that cannot be written stops the program before it opens
    // anything.
    const Result trace = RunProgram(program, {"--trace", "/nonexistent-dir/run.trace"});
    EXPECT_EQ(trace.status, 2) << name;
    EXPECT_EQ(trace.out, "");
    EXPECT_NE(trace.err.find(name + ": cannot write the trace file '/nonexistent-dir/run.trace'"),
              std::string::npos)
        << trace.err;
  }
  // The window has no port listing.
  if (!std::string(KSIDU_QT_PROGRAM).empty()) {
    EXPECT_EQ(RunProgram(KSIDU_QT_PROGRAM, {"--list-ports"}).status, 2);
  }
}

TEST(Programs, TheConsoleProgramRunsOnTheNamedPortsOnlyAndTracesTheRun) {
  // Names that are no device: nothing opens, no station answers.
  const std::filesystem::path trace = std::filesystem::temp_directory_path() /
                                      ("ksidu-programs-" + std::to_string(getpid()) + ".trace");
  const Result run =
      RunProgram(KSIDU_CLI_PROGRAM, {"--port", "/nonexistent/ttyKS0", "--port",
                                     "/nonexistent/ttyKS1", "--trace", trace.string()});
  EXPECT_EQ(run.status, 3);
  // To a pipe: the time first on every line; a summary ends the run.
  EXPECT_TRUE(std::regex_match(
      run.out,
      std::regex(
          R"(\[ *[0-9.]+\] Initialize bootloader...\n)"
          R"(\[ *[0-9.]+\] Summary: no station, 0 lines sent, 0 resends, [0-9.]+ s, not found\n)")))
      << run.out;
  // A stand-in build warns first; each port passed over with its reason, then the box.
  const bool standIn = ExpectedImageLines().find("the stand-in") != std::string::npos;
  EXPECT_EQ(run.err, std::string(standIn ? "ks-idu-cli: warning: this build carries the stand-in "
                                           "firmware image, not the station's firmware\n"
                                         : "") +
                         "ks-idu-cli: /nonexistent/ttyKS0: does not exist\n"
                         "ks-idu-cli: /nonexistent/ttyKS1: does not exist\n"
                         "Hardware error.: Station KESTRO not found.\n");
  std::ifstream in(trace);
  std::stringstream text;
  text << in.rdbuf();
  const std::string t = text.str();
  const auto first = t.find("open /nonexistent/ttyKS0 failed");
  const auto second = t.find("open /nonexistent/ttyKS1 failed");
  EXPECT_NE(first, std::string::npos) << t;
  EXPECT_NE(second, std::string::npos) << t;
  EXPECT_LT(first, second);
  EXPECT_NE(t.find("end, exit status 3"), std::string::npos) << t;
  std::filesystem::remove(trace);
}

}  // namespace
