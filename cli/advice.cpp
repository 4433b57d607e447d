#include "cli/advice.h"

#include <cmath>
#include <span>

#include "link/failure.h"

namespace torv2::cli {
namespace {

std::string Quoted(std::string_view command) {
  return "`" + std::string(command) + "`";
}

}  // namespace

std::string RerunCommand(std::string_view command, std::string_view device, bool useVirtual,
                         std::string_view extra) {
  std::string line = "torv2-upgrader-cli " + std::string(command);
  if (useVirtual) line += " --virtual";
  if (!device.empty()) line += " --device " + std::string(device);
  if (!extra.empty()) line += " " + std::string(extra);
  return line;
}

std::string SocketCause(const link::SubSocketStatus& sockets) {
  std::string numbers, states;
  int count = 0;
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    if (sockets[i] == link::kSocketUpgraded) continue;
    if (count++ > 0) {
      numbers += ", ";
      states += ", ";
    }
    numbers += std::to_string(i + 1);
    states += link::QuoteDeviceBytes(std::span(sockets).subspan(i, 1));
  }
  if (count == 0) return {};
  return count == 1
             ? "cause: socket " + numbers + " was not upgraded (it reports " + states + ")"
             : "cause: sockets " + numbers + " were not upgraded (they report " + states + ")";
}

bool IsNewer(double device, double carried) {
  return std::lround(device * 100) > std::lround(carried * 100);
}

std::string OlderFirmwareRefusal(std::string_view device, std::string_view carried,
                                 std::string_view rerunAllowing) {
  const std::string d(device), c(carried);
  return "the programmer's firmware is newer than the one carried: nothing was written\n"
         "cause: the programmer has " +
         d + ", this program carries " + c +
         "\n"
         "fix: to write " +
         c + " over " + d + " all the same, run " + Quoted(rerunAllowing) + "\n";
}

}  // namespace torv2::cli
