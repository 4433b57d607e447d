// Ctrl-C, Ctrl-Break and closing the console: Windows calls the handler on a thread of its own,
// which may wait, so it delivers directly.
#include <windows.h>

#include <atomic>

#include "cli/interrupts.h"

namespace torv2::cli {
namespace {

std::atomic<Interrupts*> g_interrupts = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      g_interrupts.load()->Deliver();
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

struct Interrupts::Platform {
  explicit Platform(Interrupts& interrupts) {
    g_interrupts = &interrupts;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  }
  ~Platform() {
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    g_interrupts = nullptr;
  }
};

void DeliverConsoleInterrupt() {
  if (Interrupts* interrupts = g_interrupts.load()) interrupts->Deliver();
}

Interrupts::Interrupts() : platform_(std::make_unique<Platform>(*this)) {}

Interrupts::~Interrupts() = default;

}  // namespace torv2::cli
