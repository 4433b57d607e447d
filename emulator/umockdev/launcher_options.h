#pragma once
// The launcher's command line: which virtual devices to attach and what happens to them while
// the command runs. Adding an option: a field here, its flag in AddLauncherOptions(), and its
// effect in DeviceOptionsFor() (what a device is plugged in as, its faults included) or in the
// launcher's timeline.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "emulator/timed_event.h"
#include "emulator/umockdev/umockdev_bed.h"

namespace torv2::emulator {

struct LauncherOptions {
  int count = 1;           // programmers to attach
  bool decoy = false;      // also a USB device without the programmer's GUID, plugged in first
  bool msOs10 = false;     // programmers carry the GUID only in MS OS 1.0 descriptors
  bool highSpeed = false;  // 512-byte bulk packets
  bool busTime = false;    // bulk transfers take their time on the bus
  std::chrono::microseconds deviceDelayPerChunk{0};    // with busTime
  std::optional<std::string> statusReply;              // reply to "CurrentStatus"
  std::optional<std::string> versionReply;             // title of the main image they start with
  std::chrono::milliseconds reenumerationDelay{1000};  // off the bus after "ResetNow"
  bool restartOnClaim = false;  // the firmware restarts whenever the host claims the interface
  // What the programmers send at the end of the sub image read-back.
  std::optional<std::array<std::uint8_t, 8>> socketStatus;
  std::optional<std::string> finalVerdict;
  Faults faults;                // the programmers' fault knobs
  bool noAccess = false;        // the programmers' device nodes refuse to be opened
  std::optional<int> faultsOn;  // only this programmer (1 = the first) gets them
  // Every programmer's serial number (empty: none); by default VIRTUAL1, VIRTUAL2, ...
  std::optional<std::string> serial;
  // After the command started, the first programmer drops off the bus / comes back.
  std::optional<std::chrono::milliseconds> unplugAt;
  std::optional<std::chrono::milliseconds> replugAt;
  // The last programmer is plugged in only when another one takes "ResetNow".
  bool lastArrivesOnReset = false;
  // Programmers plugged in, unplugged or replugged at given times after the command started
  // (--at). A programmer with a Plug event is off the bus until then.
  using TimedEvent = emulator::TimedEvent;
  std::vector<TimedEvent> timed;
  // Only these programmers (1 = the first) get --status; empty: every one.
  std::vector<int> statusOn;
  // A programmer that drops off the bus by a fault comes back this long afterwards.
  std::optional<std::chrono::milliseconds> comesBackAfter;
  // The first N claims of a programmer's interface fail as while another program holds it.
  int busyClaims = 0;
  std::vector<std::string> command;
};

void AddLauncherOptions(CLI::App& app, LauncherOptions& options);

// The devices to plug in, in order: the decoy first when asked for, then the programmers.
std::vector<VirtualUsbOptions> DeviceOptionsFor(const LauncherOptions& options);

}  // namespace torv2::emulator
