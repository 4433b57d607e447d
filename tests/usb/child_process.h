#pragma once
// Running a program as the tests of the command line do: no shell in between, stdout and stderr
// captured, a child that hangs killed, and the environment without what would tie the
// umockdev launcher to another test bed.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace torv2::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A child that does not end by then has hung; it is killed and the row fails.
inline constexpr auto kHang = 90s;

struct Outcome {
  int exitCode = -1;  // 128 + signal when killed by one
  std::string out;
  std::string err;
  Clock::duration took{};
};

// Closes a file descriptor at the end of its scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

struct Pipe {
  Pipe() : Pipe(Make()) {}
  Fd read, write;

 private:
  struct Ends {
    int read = -1, write = -1;
  };
  explicit Pipe(Ends e) : read(e.read), write(e.write) {}
  static Ends Make() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {};
    return {fds[0], fds[1]};
  }
};

// The default place of the history for the test that runs, under `root`, emptied when the test
// begins: what one test leaves (an upgrade that did not finish, warned about by the next status)
// is not seen by another, nor by the same test run again.
inline std::string TestStateHome(const std::string& root) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "outside";
  std::replace(name.begin(), name.end(), '/', '-');
  const std::filesystem::path folder = std::filesystem::path(root) / "by-test" / name;
  static std::string emptied;
  if (emptied != name) {
    std::filesystem::remove_all(folder);
    emptied = name;
  }
  return folder.string();
}

// How the child is set up.
struct ChildSetup {
  std::string stateHome;  // its XDG_STATE_HOME (where the history is); empty: as this process's
  std::string pathFirst;  // goes before the caller's PATH
};

// This process's environment without what would tie the launcher to another test bed, with the
// setup's state home and PATH.
inline std::vector<std::string> ChildEnvironment(const ChildSetup& setup) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("UMOCKDEV_DIR=") || entry.starts_with("TORV2_UMOCKDEV_REEXEC=")) continue;
    if (!setup.stateHome.empty() && entry.starts_with("XDG_STATE_HOME=")) continue;
    if (!setup.pathFirst.empty() && entry.starts_with("PATH=")) {
      env.push_back("PATH=" + setup.pathFirst + ":" + std::string(entry.substr(5)));
      continue;
    }
    env.emplace_back(entry);
  }
  if (!setup.stateHome.empty()) env.emplace_back("XDG_STATE_HOME=" + setup.stateHome);
  return env;
}

// Starts argv with its stdout and stderr going to `out` and `err`; 0 when it cannot. With
// `ownGroup`, the child leads a process group of its own, as a terminal's foreground job does.
inline pid_t Spawn(const std::vector<std::string>& args, Pipe& out, Pipe& err, bool ownGroup,
                   const ChildSetup& setup) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out.write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write.get(), STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env = ChildEnvironment(setup);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (ownGroup) {
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  }
  pid_t child = 0;
  const int error = posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  out.write.reset();
  err.write.reset();
  if (error != 0) {
    ADD_FAILURE() << "cannot run " << args[0] << ": " << std::strerror(error);
    return 0;
  }
  return child;
}

// Called with the child's pid and all it wrote so far, after each piece it writes.
using Watch = std::function<void(pid_t child, const Outcome& sofar)>;

// Runs argv with its stdout and stderr captured, no shell in between. With `watch`, the child
// leads a process group of its own.
inline Outcome RunCaptured(const std::vector<std::string>& args, const Watch& watch,
                           const ChildSetup& setup) {
  Outcome outcome;
  Pipe out, err;
  if (out.read.get() < 0 || err.read.get() < 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return outcome;
  }
  const auto start = Clock::now();
  const pid_t child = Spawn(args, out, err, watch != nullptr, setup);
  if (child == 0) return outcome;

  std::array<pollfd, 2> fds{pollfd{out.read.get(), POLLIN, 0}, pollfd{err.read.get(), POLLIN, 0}};
  std::array<std::string*, 2> into{&outcome.out, &outcome.err};
  int open = 2;
  bool killed = false;
  while (open > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(start + kHang - Clock::now());
    if (left <= 0ms) {
      ::kill(watch ? -child : child, SIGKILL);  // our own child (and its group), hung
      killed = true;
      break;
    }
    if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      std::array<char, 4096> buffer;
      const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n > 0) {
        into[i]->append(buffer.data(), static_cast<std::size_t>(n));
        if (watch) watch(child, outcome);
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;  // poll() skips it from now on
        --open;
      }
    }
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  outcome.took = Clock::now() - start;
  EXPECT_FALSE(killed) << args[0] << " hung";
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

}  // namespace torv2::test
