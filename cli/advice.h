#pragma once
// What a person can do about what went wrong, as the command line says it: the lines after a
// failure come from upgrade/advice.h, shared with the windows; here are the command line's own
// (how to run a command again, the sockets a report shows failed, older firmware).

#include <string>
#include <string_view>
#include <vector>

#include "link/image_transfer.h"
#include "link/usb_transport.h"
#include "upgrade/advice.h"
#include "upgrade/cause.h"

namespace torv2::cli {

// The shared words (upgrade/advice.h), under the names the commands use.
using upgrade::Advice;
using upgrade::AdviceContext;
using upgrade::AdviseOn;
using upgrade::NoProgrammerFix;
using upgrade::ReportFailureFix;

// The command line that runs `command` again on the same programmer: `device` is its name, or
// empty for the first one found; `extra` goes before the command ("--allow-older").
std::string RerunCommand(std::string_view command, std::string_view device, bool useVirtual,
                         std::string_view extra = {});

// The sockets a completed upgrade left not upgraded, as a cause line: "cause: socket 3 was not
// upgraded (it reports \"X\")"; empty when all eight were.
std::string SocketCause(const link::SubSocketStatus& sockets);

// Whether the device's firmware is newer than the carried one, to the hundredth they are shown
// with.
bool IsNewer(double device, double carried);

// The three lines of a refusal to write older firmware over newer (no --allow-older).
std::string OlderFirmwareRefusal(std::string_view device, std::string_view carried,
                                 std::string_view rerunAllowing);

}  // namespace torv2::cli
