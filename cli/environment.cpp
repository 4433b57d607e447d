#include "cli/environment.h"

#include <cerrno>
#include <cstdlib>

namespace torv2::cli {

link::LinkTimeouts LinkTimeoutsFromEnvironment(std::string& error) {
  link::LinkTimeouts timeouts;
  error.clear();
  const char* text = std::getenv(kTransferTimeoutVariable);
  if (!text) return timeouts;
  char* end = nullptr;
  errno = 0;
  const long ms = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || ms < 1 || ms > kLongestTransferTimeoutMs) {
    error = std::string(kTransferTimeoutVariable) + "='" + text +
            "' is not a number of milliseconds from 1 to " +
            std::to_string(kLongestTransferTimeoutMs);
    return timeouts;
  }
  timeouts.perTransfer = std::chrono::milliseconds(ms);
  return timeouts;
}

}  // namespace torv2::cli
