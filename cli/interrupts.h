#pragma once
// Ctrl-C and SIGTERM while the command line works with programmers (on Windows: Ctrl-C,
// Ctrl-Break and closing the console). The first one runs every registered stop (each asks its
// job to stop at the next transfer boundary) and says so on stderr; a second one ends the program
// at once with kExitInterrupted, though never in the middle of what goes to stdout.
//
//   cli::Interrupts interrupts;                 // in main(), before any other thread starts
//   auto stop = interrupts.OnFirst([&] { upgrader.CancelJob(); });
//   ...
//   if (interrupts.happened()) return cli::kExitInterrupted;

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "cli/exit_codes.h"

namespace torv2::cli {

// Writes `text` to stdout and flushes it, in one piece: a second interrupt waits for it to end.
void WriteOut(std::string_view text);

class Interrupts {
 public:
  // Catches the interrupts until destroyed; at most one at a time in a process.
  Interrupts();
  ~Interrupts();
  Interrupts(const Interrupts&) = delete;
  Interrupts& operator=(const Interrupts&) = delete;

  bool happened() const;

  // Keeps a stop registered until it is destroyed; the destructor waits for a stop that is
  // running, so what the stop uses may go right after it.
  class Registration {
   public:
    Registration(Interrupts& interrupts, std::uint64_t id) : interrupts_(&interrupts), id_(id) {}
    ~Registration();
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

   private:
    Interrupts* interrupts_;
    std::uint64_t id_;
  };
  // `stop` runs on the first interrupt, on a thread of the interrupts' own; at once, on the
  // calling thread, when the first has come already. It must not wait for the job it stops.
  [[nodiscard]] Registration OnFirst(std::function<void()> stop);

  // What the platform part calls for each interrupt, on a thread that may wait.
  void Deliver();

 private:
  struct Platform;  // interrupts_posix.cpp, interrupts_win32.cpp
  void Unregister(std::uint64_t id);

  mutable std::mutex mutex_;  // guards what follows; held while the stops run
  int count_ = 0;
  std::uint64_t nextId_ = 0;
  std::map<std::uint64_t, std::function<void()>> stops_;
  std::unique_ptr<Platform> platform_;  // last: it stops delivering before the rest goes
};

#ifdef _WIN32
// What Ctrl-C in the console does, for a caller that stands in for the console (a program started
// without one cannot be sent Ctrl-C); nothing while no Interrupts catches them.
void DeliverConsoleInterrupt();
#endif

}  // namespace torv2::cli
