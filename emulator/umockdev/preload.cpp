#include "emulator/umockdev/preload.h"

#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

namespace torv2::emulator {
namespace {

// Set on the re-execution, so that a preload that fails to load cannot loop.
constexpr const char* kReexecMarker = "TORV2_UMOCKDEV_REEXEC";

int FindPreload(dl_phdr_info* info, std::size_t, void* found) {
  if (info->dlpi_name && std::strstr(info->dlpi_name, "libumockdev-preload")) {
    *static_cast<bool*>(found) = true;
    return 1;
  }
  return 0;
}

std::string Joined(const char* first, const char* rest, char separator) {
  std::string value = first;
  if (rest && *rest) {
    value += separator;
    value += rest;
  }
  return value;
}

}  // namespace

bool RunningUnderUmockdevPreload() {
  bool found = false;
  dl_iterate_phdr(FindPreload, &found);
  return found;
}

void EnsureUmockdevPreload(char** argv) {
  if (RunningUnderUmockdevPreload()) {
    ::unsetenv(kReexecMarker);
    return;
  }
  if (std::getenv(kReexecMarker)) {
    throw std::runtime_error(std::string(kUmockdevPreload) +
                             " did not load; is umockdev installed?");
  }
  ::setenv(kReexecMarker, "1", 1);
  ::setenv("LD_PRELOAD", Joined(kUmockdevPreload, std::getenv("LD_PRELOAD"), ':').c_str(), 1);
  // AddressSanitizer wants its runtime first in the library list; the preload has to be first
  // to see the program's system calls. The order does not matter for either in practice.
  const std::string asan = Joined("verify_asan_link_order=0", std::getenv("ASAN_OPTIONS"), ':');
  ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
  // GLib's locks are futexes ThreadSanitizer cannot see, so it reports the hand-offs inside
  // GLib, umockdev and libudev as races. Only accesses made inside those uninstrumented
  // libraries are ignored; our own code stays checked. Our threads are joined before exit, so
  // the second ThreadSanitizer waits at exit for other threads is not needed.
  const std::string tsan = Joined("ignore_noninstrumented_modules=1 atexit_sleep_ms=0",
                                  std::getenv("TSAN_OPTIONS"), ' ');
  ::setenv("TSAN_OPTIONS", tsan.c_str(), 1);
  ::execv("/proc/self/exe", argv);
  throw std::runtime_error(std::string("cannot re-execute under the umockdev preload: ") +
                           std::strerror(errno));
}

}  // namespace torv2::emulator
