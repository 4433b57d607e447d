// torv2-virtual-programmer: runs a command with virtual programmers attached over umockdev.
// Started through emulator/with-virtual-programmer. The process owns the test bed and serves
// the devices while the command runs as its child, under the umockdev preload.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "emulator/umockdev/launcher_options.h"
#include "emulator/umockdev/preload.h"
#include "emulator/umockdev/umockdev_bed.h"

extern char** environ;

namespace torv2::emulator {
namespace {

constexpr const char* kName = "with-virtual-programmer";

std::atomic<pid_t> g_child{0};

void ForwardSignal(int signal) {
  const pid_t child = g_child.load();
  if (child > 0) ::kill(child, signal);
}

// Terminal signals reach the command directly; the launcher outlives it to clean up. Signals
// sent to the launcher alone are passed on to the command.
void SetUpSignals() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, nullptr);
  sigaction(SIGQUIT, &ignore, nullptr);
  struct sigaction forward {};
  forward.sa_handler = ForwardSignal;
  sigemptyset(&forward.sa_mask);
  sigaction(SIGTERM, &forward, nullptr);
  sigaction(SIGHUP, &forward, nullptr);
}

// Plugs devices in, unplugs and replugs them at fixed times after the start, on its own thread.
class Timeline {
 public:
  enum class Action { Plug, Unplug, Replug };
  struct Event {
    std::chrono::milliseconds at;
    Action action;
    VirtualUsbDevice* device;
    bool announce;  // said on stderr as it happens
  };

  Timeline(UmockdevBed& bed, std::vector<Event> events) : bed_(bed), events_(std::move(events)) {
    std::stable_sort(events_.begin(), events_.end(),
                     [](const Event& a, const Event& b) { return a.at < b.at; });
  }
  ~Timeline() { Stop(); }

  void Start() {
    if (events_.empty()) return;
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    const auto start = std::chrono::steady_clock::now();
    for (const Event& event : events_) {
      std::unique_lock lock(mutex_);
      if (changed_.wait_until(lock, start + event.at, [this] { return stopped_; })) return;
      lock.unlock();
      if (event.action == Action::Unplug) {
        bed_.Unplug(*event.device);
      } else {
        bed_.Replug(*event.device);
      }
      if (event.announce) {
        static constexpr const char* kWords[] = {"plugged in", "unplugged", "replugged"};
        std::fprintf(
            stderr, "%s: %lld ms: %s %s\n", kName, static_cast<long long>(event.at.count()),
            event.device->options().serial.c_str(), kWords[static_cast<int>(event.action)]);
      }
    }
  }

  UmockdevBed& bed_;
  std::vector<Event> events_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopped_ = false;
  std::thread thread_;
};

int ExitStatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

int Run(const LauncherOptions& options) {
  UmockdevBed bed;
  std::vector<VirtualUsbDevice*> programmers;
  for (const VirtualUsbOptions& device : DeviceOptionsFor(options)) {
    VirtualUsbDevice& added = bed.Add(device);
    if (device.guidSource != GuidSource::None) programmers.push_back(&added);
  }
  VirtualUsbDevice* first = programmers.empty() ? nullptr : programmers.front();
  VirtualUsbDevice* last = programmers.empty() ? nullptr : programmers.back();
  if (options.lastArrivesOnReset && last && last != first) bed.PlugInOnNextReset(*last);
  std::vector<Timeline::Event> events;
  if (first && options.unplugAt) {
    events.push_back({*options.unplugAt, Timeline::Action::Unplug, first, false});
  }
  if (first && options.replugAt) {
    events.push_back({*options.replugAt, Timeline::Action::Replug, first, false});
  }
  for (const LauncherOptions::TimedEvent& timed : options.timed) {
    if (timed.programmer > static_cast<int>(programmers.size())) {
      std::fprintf(stderr, "%s: --at: there is no programmer %d\n", kName, timed.programmer);
      return 64;
    }
    VirtualUsbDevice* device = programmers[static_cast<std::size_t>(timed.programmer - 1)];
    using A = LauncherOptions::TimedEvent::Action;
    const Timeline::Action action = timed.action == A::Plug     ? Timeline::Action::Plug
                                    : timed.action == A::Unplug ? Timeline::Action::Unplug
                                                                : Timeline::Action::Replug;
    // Off the bus until its time comes.
    if (action == Timeline::Action::Plug) bed.Unplug(*device);
    events.push_back({timed.at, action, device, true});
  }

  std::vector<char*> argv;
  for (const std::string& arg : options.command) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  SetUpSignals();
  Timeline timeline(bed, std::move(events));
  // The command inherits LD_PRELOAD (this process runs under it) and the bed's UMOCKDEV_DIR,
  // and gets the default action back for the signals the launcher ignores.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGQUIT);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t child = 0;
  const int error = posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    std::fprintf(stderr, "%s: cannot run %s: %s\n", kName, argv[0], std::strerror(error));
    return 127;
  }
  g_child = child;
  timeline.Start();

  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      std::perror("waitpid");
      return 1;
    }
  }
  g_child = 0;
  timeline.Stop();
  return ExitStatusOf(status);
}

}  // namespace
}  // namespace torv2::emulator

int main(int argc, char** argv) {
  using namespace torv2::emulator;
  LauncherOptions options;
  CLI::App app;
  AddLauncherOptions(app, options);
  app.name(kName);
  CLI11_PARSE(app, argc, argv);
  try {
    EnsureUmockdevPreload(argv);
    return Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", kName, e.what());
    return 1;
  }
}
