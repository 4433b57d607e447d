#include "cli/interrupts.h"

#include <cstdio>
#include <cstdlib>

namespace torv2::cli {
namespace {

// Held while stdout is written, and by a second interrupt while it ends the program.
std::mutex& StdoutMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

void WriteOut(std::string_view text) {
  std::lock_guard lock(StdoutMutex());
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

bool Interrupts::happened() const {
  std::lock_guard lock(mutex_);
  return count_ > 0;
}

Interrupts::Registration Interrupts::OnFirst(std::function<void()> stop) {
  std::lock_guard lock(mutex_);
  const std::uint64_t id = nextId_++;
  if (count_ > 0) {
    stop();
  } else {
    stops_.emplace(id, std::move(stop));
  }
  return Registration(*this, id);
}

void Interrupts::Unregister(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  stops_.erase(id);
}

Interrupts::Registration::~Registration() {
  interrupts_->Unregister(id_);
}

void Interrupts::Deliver() {
  std::unique_lock lock(mutex_);
  if (++count_ > 1) {
    lock.unlock();
    // Never in the middle of a report: whoever writes stdout finishes first.
    std::lock_guard out(StdoutMutex());
    std::fputs("torv2-upgrader-cli: interrupted again: quitting\n", stderr);
    std::fflush(stderr);
    std::_Exit(kExitInterrupted);
  }
  for (auto& [id, stop] : stops_) stop();
  std::fputs(
      "torv2-upgrader-cli: interrupted: stopping after the transfer under way (interrupt again to "
      "quit at once)\n",
      stderr);
  std::fflush(stderr);
}

}  // namespace torv2::cli
