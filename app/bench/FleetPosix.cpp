// The coordinator's host on POSIX: each port's run is a ks-idu-cli started
// with posix_spawn in a process group of its own (Ctrl+C on the terminal
// reaches the coordinator only, which stops each run once, by closing the
// run's standard input), and one poll() waits for all of them, the signals,
// the port watch and the keys.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>

#include "Fleet.h"
#include "PortWatch.h"
#include "Ports.h"
#include "Signals.h"

extern char** environ;

namespace console::fleet {

namespace {

// A line longer than this is no event of a run: it is dropped.
constexpr std::size_t kLineLimit = 65536;
// Where the run's channel is in it.
constexpr int kEventsDescriptor = 3;
// How often a run whose outputs have closed is looked at until it has ended.
constexpr auto kEndingLook = std::chrono::milliseconds(50);

struct Child {
  std::size_t run = 0;
  pid_t pid = -1;
  int events = -1;  // read ends
  int errors = -1;
  int hold = -1;  // the write end of its standard input
  std::string eventBuffer;
  std::string errorBuffer;
};

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

std::string SelfProgram() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "ks-idu-cli";
  return std::string(path, static_cast<std::size_t>(n));
}

int TerminalWidth() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// Keys one at a time from the terminal on standard input, not echoed into
// the table; Ctrl+C still signals.
class KeyReader {
 public:
  KeyReader() {
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~KeyReader() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  KeyReader(const KeyReader&) = delete;
  KeyReader& operator=(const KeyReader&) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

// A close-on-exec descriptor above the standard ones and the channel's place,
// so that the child's dup2 onto 0, 2 and 3 always makes a copy.
int High(int fd) {
  if (fd < 0 || fd > kEventsDescriptor) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  close(fd);
  return moved;
}

bool Pipe(int ends[2]) {
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  ends[0] = High(ends[0]);
  ends[1] = High(ends[1]);
  return ends[0] >= 0 && ends[1] >= 0;
}

bool Spawn(const std::string& program, const std::vector<std::string>& arguments, Child& child,
           std::string& why) {
  int events[2] = {-1, -1};
  int errors[2] = {-1, -1};
  int input[2] = {-1, -1};
  auto closeAll = [&] {
    for (int* ends : {events, errors, input}) {
      CloseFd(ends[0]);
      CloseFd(ends[1]);
    }
  };
  if (!Pipe(events) || !Pipe(errors) || !Pipe(input)) {
    why = std::string("no pipe: ") + std::strerror(errno);
    closeAll();
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
  posix_spawn_file_actions_adddup2(&actions, events[1], kEventsDescriptor);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  CloseFd(events[1]);
  CloseFd(errors[1]);
  CloseFd(input[0]);
  if (error != 0) {
    why = program + ": " + std::strerror(error);
    closeAll();
    return false;
  }
  child.pid = pid;
  child.events = events[0];
  child.errors = errors[0];
  child.hold = input[1];
  fcntl(child.events, F_SETFL, O_NONBLOCK);
  fcntl(child.errors, F_SETFL, O_NONBLOCK);
  return true;
}

// Reads what is there; each whole line goes to take. False at the end.
template <class Take>
bool ReadLines(int fd, std::string& buffer, Take take) {
  char chunk[4096];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    if (n == 0) {
      if (!buffer.empty()) take(std::string_view(buffer));
      buffer.clear();
      return false;
    }
    buffer.append(chunk, static_cast<std::size_t>(n));
    std::size_t from = 0;
    for (std::size_t nl; (nl = buffer.find('\n', from)) != std::string::npos; from = nl + 1) {
      take(std::string_view(buffer).substr(from, nl - from));
    }
    buffer.erase(0, from);
    if (buffer.size() > kLineLimit) buffer.clear();
  }
}

}  // namespace

int RunFleet(const app::TCommandLine& options, std::ostream& out, std::ostream& err,
             bool outIsTerminal) {
  const Clock::time_point start = Clock::now();
  Settings settings;
  settings.watch = options.watch;
  settings.terminal = outIsTerminal;
  settings.width = outIsTerminal ? TerminalWidth() : 80;
  settings.traceFile = options.traceFile;
  settings.reportFile = options.reportFile;
  Fleet fleet(settings, out, start, &err);
  const std::string program = SelfProgram();

  // Outlives the signal watcher, which writes to it.
  struct WakePipe {
    int ends[2] = {-1, -1};
    ~WakePipe() {
      CloseFd(ends[0]);
      CloseFd(ends[1]);
    }
  } wakePipe;
  if (pipe2(wakePipe.ends, O_CLOEXEC | O_NONBLOCK) != 0) return 7;
  int* const wake = wakePipe.ends;
  // Made before any other thread: the watcher's thread alone takes the
  // signals; a second one ends the coordinator at once, and the runs, whose
  // standard input closes with it, stop by themselves.
  SignalWatcher signals([&] {
    const char c = 'i';
    [[maybe_unused]] const ssize_t n = write(wake[1], &c, 1);
  });

  std::optional<ports::PortWatch> watch;
  if (options.watch) watch.emplace(options.ports);
  std::optional<KeyReader> keys;
  bool readKeys = options.watch && isatty(STDIN_FILENO) != 0;
  if (readKeys) keys.emplace();

  auto list = [&](Clock::time_point now) {
    ListPorts(fleet, watch ? &*watch : nullptr, options.ports, now);
  };
  list(start);
  Clock::time_point nextList = watch ? start + watch->PollInterval() : Clock::time_point::max();

  std::map<std::size_t, Child> children;
  for (;;) {
    Clock::time_point now = Clock::now();
    for (const std::size_t run : fleet.TakeDueStarts(now)) {
      Child child;
      child.run = run;
      std::string why;
      if (Spawn(program, fleet.Arguments(run, std::to_string(kEventsDescriptor)), child, why)) {
        children.emplace(run, std::move(child));
      } else {
        fleet.StartFailed(run, why, now);
      }
    }
    if (fleet.Over()) break;

    std::vector<pollfd> fds;
    fds.push_back({wake[0], POLLIN, 0});
    const std::size_t watchAt = fds.size();
    if (watch && watch->Descriptor() >= 0) fds.push_back({watch->Descriptor(), POLLIN, 0});
    const std::size_t keysAt = fds.size();
    if (readKeys) fds.push_back({STDIN_FILENO, POLLIN, 0});
    const std::size_t childrenAt = fds.size();
    for (const auto& [run, child] : children) {
      fds.push_back({child.events, static_cast<short>(child.events >= 0 ? POLLIN : 0), 0});
      fds.push_back({child.errors, static_cast<short>(child.errors >= 0 ? POLLIN : 0), 0});
    }
    Clock::time_point deadline = std::min(fleet.NextWake(now), nextList);
    const bool ending = std::any_of(children.begin(), children.end(), [](const auto& c) {
      return c.second.events < 0 && c.second.errors < 0;
    });
    if (ending) deadline = std::min(deadline, now + kEndingLook);
    int timeout = -1;
    if (deadline != Clock::time_point::max()) {
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
      timeout = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
    }
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    now = Clock::now();

    if (fds[0].revents != 0) {
      char drain[16];
      while (read(wake[0], drain, sizeof drain) > 0) {
      }
      if (!fleet.Interrupted()) {
        fleet.Interrupt(now);
        for (auto& [run, child] : children) CloseFd(child.hold);
      }
    }
    std::size_t at = childrenAt;
    for (auto& [run, child] : children) {
      const std::size_t r = run;
      if (fds[at].revents != 0 && child.events >= 0 &&
          !ReadLines(child.events, child.eventBuffer,
                     [&](std::string_view line) { fleet.Event(r, line, now); })) {
        CloseFd(child.events);
      }
      if (fds[at + 1].revents != 0 && child.errors >= 0 &&
          !ReadLines(child.errors, child.errorBuffer,
                     [&](std::string_view line) { fleet.ErrorLine(r, line); })) {
        CloseFd(child.errors);
      }
      at += 2;
    }
    for (auto it = children.begin(); it != children.end();) {
      Child& child = it->second;
      if (child.events >= 0 || child.errors >= 0) {
        ++it;
        continue;
      }
      // Both of its outputs are closed: it is ending. It may not have ended
      // yet (its port's close can wait for the driver), and the other runs,
      // Ctrl+C and the table do not wait for it: it is looked at again.
      int status = 0;
      pid_t reaped = -1;
      while ((reaped = waitpid(child.pid, &status, WNOHANG)) < 0 && errno == EINTR) {
      }
      if (reaped == 0) {
        ++it;
        continue;
      }
      CloseFd(child.hold);
      if (reaped < 0) {
        // Not ours to wait for after all: what it said at its end stands.
        fleet.Exited(it->first, -1, 0, now);
      } else if (WIFEXITED(status)) {
        fleet.Exited(it->first, WEXITSTATUS(status), 0, now);
      } else {
        fleet.Exited(it->first, -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0, now);
      }
      it = children.erase(it);
    }
    if (watch) {
      const bool reported = watchAt < keysAt && fds[watchAt].revents != 0;
      if (reported) watch->Drain();
      if (reported || now >= nextList) {
        list(now);
        nextList = now + watch->PollInterval();
      }
    }
    if (readKeys && fds[keysAt].revents != 0) {
      char typed[16];
      const ssize_t n = read(STDIN_FILENO, typed, sizeof typed);
      for (ssize_t i = 0; i < n; ++i) fleet.Key(typed[i], now);
      // The terminal is gone: no more keys (its hang-up signal stops the rest).
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) readKeys = false;
    }
    fleet.Tick(now);
  }
  return fleet.Finish(Clock::now());
}

}  // namespace console::fleet
