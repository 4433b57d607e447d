#include "cli/advice.h"

#include <algorithm>
#include <cmath>
#include <span>

#include "link/failure.h"

namespace torv2::cli {
namespace {

using link::Happened;
using upgrade::ExchangeStep;

std::string Quoted(std::string_view command) {
  return "`" + std::string(command) + "`";
}

bool AnyUnchecked(const link::ExchangeFailure& f, link::OpenStatus why) {
  return std::any_of(f.unchecked.begin(), f.unchecked.end(),
                     [why](const link::UncheckedDevice& d) { return d.why == why; });
}

// Another program has the programmer open. Linux lets the desktop upgrader and this program claim
// it; on Windows any program may have opened it, and Windows does not say which.
std::string HeldFix(const std::string& again) {
#ifdef _WIN32
  return "fix: close the program that holds the programmer (Windows does not say which: the "
         "desktop upgrader, another torv2-upgrader-cli, or another program that opens USB "
         "devices) and run " +
         again + " again";
#else
  return "fix: close the program that holds the programmer (the desktop upgrader or another "
         "torv2-upgrader-cli) and run " +
         again + " again";
#endif
}

// A programmer that could not be opened (at start-up, for the job or for a version query).
std::string OpeningFix(const link::ExchangeFailure& f, const std::string& again) {
  switch (f.what) {
    case Happened::NotFound:
      // The permission fix follows on its own line (SayUnchecked).
      if (AnyUnchecked(f, link::OpenStatus::AccessDenied)) return {};
      if (AnyUnchecked(f, link::OpenStatus::Busy)) return HeldFix(again);
#ifdef _WIN32
      return "fix: plug the programmer in (Device Manager lists it under Universal Serial Bus "
             "devices once it is attached) and run " +
             again + " again";
#else
      return "fix: plug the programmer in (`lsusb` lists it once it is attached) and run " + again +
             " again";
#endif
    case Happened::AccessDenied:
#ifdef _WIN32
      return "fix: run " + again + " again as a user who may open USB devices";
#else
      return "fix: install the udev rule: `sudo torv2-upgrader-cli udev-rule --install`, then "
             "plug the programmer in again and run " +
             again + " again";
#endif
    case Happened::Busy:
      return HeldFix(again);
    case Happened::DeviceGone:
      return "fix: plug the programmer in again and run " + again + " again";
    case Happened::NoPipes:
      return "fix: this device does not work as a TORV II programmer: unplug it, plug it in "
             "again and run " +
             again + " again";
    default:
      return "fix: unplug the programmer, plug it in again and run " + again + " again";
  }
}

// The status or version query failed, with the link open.
std::string QueryFix(const link::ExchangeFailure& f, const std::string& again) {
  if (f.what == Happened::DeviceGone) {
    return "fix: plug the programmer in again and run " + again + " again";
  }
  return "fix: unplug the programmer, plug it in again and run " + again + " again";
}

// The job stopped part-way: the programmer holds neither the old firmware nor the new.
std::string StoppedFix(const link::ExchangeFailure& f, const std::string& again) {
  switch (f.what) {
    case Happened::DeviceGone:
      return "fix: the upgrade stopped part-way: plug the programmer in again and run " + again +
             " again";
    case Happened::TimedOut:
    case Happened::TransferError:
      return "fix: the upgrade stopped part-way and the programmer stopped answering: unplug it, "
             "plug it in again and run " +
             again + " again";
    default:
      return "fix: the upgrade stopped part-way: run " + again +
             " again; if it stops at the same step, unplug the programmer and plug it in again "
             "first";
  }
}

}  // namespace

Advice AdviseOn(const upgrade::Cause& cause, const AdviceContext& context,
                std::string_view headline, bool afterReport) {
  const link::ExchangeFailure& f = cause.failure;
  const std::string again = Quoted(context.rerun);
  Advice advice;
  switch (cause.at.step) {
    case ExchangeStep::Opening:
      // "USB UnConn: no programmer found" says all of "opening the programmer: no programmer
      // found"; a cause that names devices that could not be checked says more.
      advice.showCause = !(f.what == Happened::NotFound && f.unchecked.empty() &&
                           headline.find(link::DescribeHappened(f)) != std::string_view::npos);
      advice.line = OpeningFix(f, again);
      return advice;
    case ExchangeStep::StatusQuery:
    case ExchangeStep::VersionQuery:
      if (!context.upgrading) {
        advice.line = QueryFix(f, again);
        return advice;
      }
      // The upgrade does without them; the report shows the version read at its end.
      advice.warning = true;
      if (cause.at.step == ExchangeStep::StatusQuery) {
        advice.line = "warning: the programmer's status could not be read; the upgrade goes on";
      } else if (!context.jobStarted) {
        advice.line =
            "warning: the programmer's version could not be read, so it is not known "
            "whether the carried " +
            context.carried + " is older; the upgrade goes on";
      } else {
        advice.line =
            "warning: the programmer's version could not be read after the upgrade; "
            "`torv2-upgrader-cli status` shows it";
      }
      return advice;
    default:
      // The command says what to do about a report that shows a failure, once for all of it.
      if (!afterReport) advice.line = StoppedFix(f, again);
      return advice;
  }
}

std::string NoProgrammerFix(const std::vector<link::UncheckedDevice>& unchecked,
                            std::string_view rerun) {
  link::ExchangeFailure failure;
  failure.what = Happened::NotFound;
  failure.unchecked = unchecked;
  return OpeningFix(failure, Quoted(rerun));
}

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

std::string ReportFailureFix(const AdviceContext& context) {
  return "fix: run " + Quoted(context.rerun) +
         " again; if the same part fails again, the programmer needs servicing";
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
