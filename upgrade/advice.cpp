#include "upgrade/advice.h"

#include <algorithm>

#include "link/failure.h"

namespace torv2::upgrade {
namespace {

using link::Happened;

std::string Quoted(std::string_view command) {
  return "`" + std::string(command) + "`";
}

// How the lines below name running the task again.
std::string Again(const AdviceContext& context) {
  return context.rerunIsCommand ? Quoted(context.rerun) : context.rerun;
}

bool AnyUnchecked(const link::ExchangeFailure& f, link::OpenStatus why) {
  return std::any_of(f.unchecked.begin(), f.unchecked.end(),
                     [why](const link::UncheckedDevice& d) { return d.why == why; });
}

// Another program has the programmer open. Linux lets the desktop upgrader and the command line
// claim it; on Windows any program may have opened it, and Windows does not say which.
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

Advice AdviseOn(const Cause& cause, const AdviceContext& context, std::string_view headline,
                bool afterReport) {
  const link::ExchangeFailure& f = cause.failure;
  const std::string again = Again(context);
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

std::string ReportFailureFix(const AdviceContext& context) {
  return "fix: run " + Again(context) +
         " again; if the same part fails again, the programmer needs servicing";
}

std::string MessageDetails(const Cause& cause, const AdviceContext& context,
                           std::string_view headline) {
  const Advice advice = AdviseOn(cause, context, headline, false);
  std::string details;
  if (advice.showCause) details = "Cause: " + DescribeCause(cause);
  std::string_view line = advice.line;
  for (const std::string_view label : {std::string_view("fix: "), std::string_view("warning: ")}) {
    if (line.starts_with(label)) line.remove_prefix(label.size());
  }
  if (!line.empty()) {
    if (!details.empty()) details += '\n';
    details += (advice.warning ? "Next: " : "What to do: ") + std::string(line);
  }
  return details;
}

}  // namespace torv2::upgrade
