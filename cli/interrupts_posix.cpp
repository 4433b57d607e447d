// SIGINT and SIGTERM: the handler only writes the signal's number to a pipe (all a handler may
// safely do); a thread of the interrupts' own reads it and delivers. A handler, not a blocked
// signal: it catches the signal on whichever thread the kernel picks, also threads that libraries
// started before main().
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

#include "cli/interrupts.h"

namespace torv2::cli {
namespace {

int g_pipeWrite = -1;

extern "C" void OnSignal(int signal) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t n = ::write(g_pipeWrite, &byte, 1);
  errno = saved;
}

constexpr int kSignals[] = {SIGINT, SIGTERM};

}  // namespace

struct Interrupts::Platform {
  explicit Platform(Interrupts& interrupts) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("interrupts: no pipe");
    readEnd = fds[0];
    g_pipeWrite = fds[1];
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
      sigaction(kSignals[i], &action, &previous[i]);
    }
    thread = std::thread([this, &interrupts] {
      unsigned char byte = 0;
      for (;;) {
        const ssize_t n = ::read(readEnd, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || byte == 0) return;  // closing
        interrupts.Deliver();
      }
    });
  }

  ~Platform() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
      sigaction(kSignals[i], &previous[i], nullptr);
    }
    const unsigned char closing = 0;
    [[maybe_unused]] const ssize_t n = ::write(g_pipeWrite, &closing, 1);
    thread.join();
    ::close(g_pipeWrite);
    g_pipeWrite = -1;
    ::close(readEnd);
  }

  int readEnd = -1;
  struct sigaction previous[std::size(kSignals)]{};
  std::thread thread;
};

Interrupts::Interrupts() : platform_(std::make_unique<Platform>(*this)) {}

Interrupts::~Interrupts() = default;

}  // namespace torv2::cli
