#include "emulator/umockdev/launcher_options.h"

#include <algorithm>
#include <initializer_list>

namespace torv2::emulator {
namespace {

// A time option in milliseconds; CLI11 stores it as a plain number first.
void AddTime(CLI::App& app, const std::string& name, std::optional<std::chrono::milliseconds>& to,
             const std::string& help) {
  app.add_option_function<long>(
         name, [&to](long ms) { to = std::chrono::milliseconds(ms); }, help)
      ->type_name("MS")
      ->check(CLI::NonNegativeNumber);
}

// "command-ack, status-reply, ..." for the help text.
template <class T, class Key>
std::string Keys(std::initializer_list<T> values, Key key) {
  std::string out;
  for (const T v : values) {
    if (!out.empty()) out += ", ";
    out += key(v);
  }
  return out;
}

std::string FaultHelp() {
  using enum Step;
  using enum FaultKind;
  return "At the N-th time (from 1) the programmers reach STEP, they do KIND instead. STEP: " +
         Keys({CommandAck, StatusReply, VersionReply, SizeReply, ChunkAck, ReadChunk, BlockStatus,
               BlockData, SocketStatus, FinalVerdict},
              StepKey) +
         ". KIND: " + Keys({NoAnswer, Unplug, Junk, WrongLength, Refuse, Corrupt}, FaultKindKey) +
         ".";
}

const CLI::Validator kStepFault(
    [](std::string& text) {
      return ParseStepFault(text) ? std::string()
                                  : "not STEP:N:KIND (e.g. read-chunk:2:corrupt): " + text;
    },
    "");

// Eight characters a shell passes without trouble: the socket states, 'U' for upgraded.
const CLI::Validator kSocketStatus(
    [](std::string& text) {
      const bool printable =
          std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
      return text.size() == 8 && printable ? std::string()
                                           : "not eight printable characters: " + text;
    },
    "");

// What a string descriptor can carry: printable ASCII, at most 126 characters.
const CLI::Validator kSerial(
    [](std::string& text) {
      const bool printable =
          std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
      return text.size() <= 126 && printable
                 ? std::string()
                 : "not at most 126 printable ASCII characters: " + text;
    },
    "");

const CLI::Validator kTimedEvent(
    [](std::string& text) {
      return ParseTimedEvent(text) ? std::string()
                                   : "not MS:ACTION:N (e.g. 1500:plug:3, ACTION plug, unplug or "
                                     "replug): " +
                                         text;
    },
    "");

}  // namespace

void AddLauncherOptions(CLI::App& app, LauncherOptions& o) {
  app.description(
      "Runs COMMAND with virtual TORV II programmers attached over emulated USB (umockdev). "
      "COMMAND finds them through libusb like real devices. Exits with COMMAND's exit status.");
  app.footer(
      "Put -- before COMMAND. Examples:\n"
      "  with-virtual-programmer -- lsusb -v\n"
      "  with-virtual-programmer --decoy --two --unplug-at 500 -- some-program ARGS\n"
      "  with-virtual-programmer --fault read-chunk:2:corrupt -- torv2-upgrader-cli upgrade");

  auto* count = app.add_option("--count", o.count, "Attach N programmers (default 1)")
                    ->type_name("N")
                    ->check(CLI::Range(0, 100));
  app.add_flag_callback(
         "--two", [&o] { o.count = 2; }, "Attach two programmers")
      ->excludes(count);
  app.add_flag("--decoy", o.decoy,
               "Also attach a USB device that does not carry the programmer's interface GUID");
  app.add_flag("--msos1", o.msOs10,
               "Programmers carry their GUID only in Microsoft OS 1.0 descriptors");
  app.add_flag("--high-speed", o.highSpeed, "High-speed devices with 512-byte bulk packets");
  app.add_flag("--bus-time", o.busTime,
               "Bulk transfers take the time the bus needs for them (full speed: 19 packets per "
               "1 ms frame; high speed: 13 per 125 us microframe), each programmer on a bus of "
               "its own");
  app.add_option_function<long>(
         "--device-delay-us",
         [&o](long us) { o.deviceDelayPerChunk = std::chrono::microseconds(us); },
         "With --bus-time: the programmers' own time for each chunk they write or read back")
      ->type_name("US")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--serial", o.serial,
                 "Every programmer's serial number, the same for all; empty for none (default "
                 "VIRTUAL1, VIRTUAL2, ...)")
      ->type_name("TEXT")
      ->check(kSerial);
  app.add_option("--status", o.statusReply, "The programmers' reply to CurrentStatus")
      ->type_name("TEXT");
  app.add_option("--version", o.versionReply,
                 "The title inside the main image the programmers start with, which they answer "
                 "VersionRead: with until an upgrade writes another (default MainExe - TORV2 "
                 "Execute V02.07)")
      ->type_name("TEXT");
  app.add_option_function<long>(
         "--reenumeration-delay",
         [&o](long ms) { o.reenumerationDelay = std::chrono::milliseconds(ms); },
         "After ResetNow a programmer is off the bus MS milliseconds, then comes back at a new "
         "address (default 1000)")
      ->type_name("MS")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--restart-on-claim", o.restartOnClaim,
               "The programmers' firmware starts over whenever a program claims their interface "
               "(real ones do not; for comparing with a host that relies on it)");
  app.add_option_function<std::string>(
         "--sockets",
         [&o](const std::string& text) {
           std::array<std::uint8_t, 8> states{};
           std::copy(text.begin(), text.end(), states.begin());
           o.socketStatus = states;
         },
         "The eight socket states the programmers report after the sub image read-back, socket 1 "
         "first; U: upgraded (default UUUUUUUU)")
      ->type_name("XXXXXXXX")
      ->check(kSocketStatus);
  app.add_option("--final-verdict", o.finalVerdict,
                 "What the programmers answer last after the sub image read-back (default OK)")
      ->type_name("TEXT");

  // Faults.
  app.add_option_function<std::string>(
         "--fault", [&o](const std::string& text) { o.faults.atStep = ParseStepFault(text); },
         FaultHelp())
      ->type_name("STEP:N:KIND")
      ->check(kStepFault);
  app.add_flag("--no-access", o.noAccess,
               "The programmers' device nodes refuse to be opened, as for a user without "
               "permission (a command run as root must drop CAP_DAC_OVERRIDE to see it, e.g. "
               "setpriv --bounding-set=-dac_override,-dac_read_search)");
  app.add_option("--faults-on", o.faultsOn,
                 "Only programmer N (1 = the first) gets the faults asked for (and --no-access); "
                 "the others work")
      ->type_name("N")
      ->check(CLI::PositiveNumber);
  app.add_option("--nak", o.faults.nakFrames, "Refuse the first N command frames with '-'")
      ->type_name("N")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--upper-checksum", o.faults.upperCaseChecksums,
                 "Send the first N reply checksums in upper-case hexadecimal")
      ->type_name("N")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--junk-before-reply", o.faults.junkBeforeReply,
                 "Send TEXT before every reply packet")
      ->type_name("TEXT");
  app.add_flag("--a4", o.faults.a4StartMarker, "Start reply packets with the byte 0xA4, not '$'");
  app.add_flag("--no-answer", o.faults.noAnswer,
               "The programmers take every byte and never answer");
  app.add_option("--split", o.faults.splitWrites,
                 "Send everything in USB transfers of at most N bytes")
      ->type_name("N")
      ->check(CLI::PositiveNumber);
  app.add_flag("--merge", o.faults.mergeWrites,
               "Send everything that is due between two host writes as one USB transfer");

  AddTime(app, "--unplug-at", o.unplugAt,
          "Unplug the first programmer MS milliseconds after COMMAND started");
  AddTime(app, "--replug-at", o.replugAt,
          "Plug the first programmer back in (at a new address) MS milliseconds after COMMAND "
          "started");
  app.add_flag("--last-arrives-on-reset", o.lastArrivesOnReset,
               "The last programmer is plugged in only when another one restarts on ResetNow, "
               "while that one is off the bus");
  app.add_option_function<std::vector<std::string>>(
         "--at",
         [&o](const std::vector<std::string>& texts) {
           for (const std::string& text : texts) o.timed.push_back(*ParseTimedEvent(text));
         },
         "At MS milliseconds after COMMAND started, plug programmer N in (it is off the bus "
         "until then), unplug it, or replug it (at a new address); again for more. Each one is "
         "said on stderr as it happens")
      ->type_name("MS:ACTION:N")
      ->allow_extra_args(false)
      ->check(kTimedEvent);
  app.add_option("--status-on", o.statusOn,
                 "Only programmer N (1 = the first) answers --status; again for more")
      ->type_name("N")
      ->allow_extra_args(false)
      ->check(CLI::PositiveNumber);
  app.add_option_function<long>(
         "--comes-back-after", [&o](long ms) { o.comesBackAfter = std::chrono::milliseconds(ms); },
         "A programmer that drops off the bus by a fault (KIND unplug) is plugged back in MS "
         "milliseconds later, at a new address")
      ->type_name("MS")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--busy-claims", o.busyClaims,
                 "The first N times a program claims a programmer's interface, it is refused as "
                 "while another program holds it (with --faults-on, that programmer's only)")
      ->type_name("N")
      ->check(CLI::NonNegativeNumber);
  app.add_option("command", o.command, "The command to run, after --")->required();
}

std::vector<VirtualUsbOptions> DeviceOptionsFor(const LauncherOptions& o) {
  std::vector<VirtualUsbOptions> devices;
  if (o.decoy) {
    VirtualUsbOptions decoy;
    decoy.guidSource = GuidSource::None;
    decoy.highSpeed = o.highSpeed;
    decoy.serial = "DECOY";
    devices.push_back(decoy);
  }
  for (int i = 1; i <= o.count; ++i) {
    VirtualUsbOptions programmer;
    programmer.guidSource = o.msOs10 ? GuidSource::MsOs10Only : GuidSource::MsOs20;
    programmer.highSpeed = o.highSpeed;
    programmer.realBusTime = o.busTime;
    programmer.deviceDelayPerChunk = o.deviceDelayPerChunk;
    programmer.serial = o.serial.value_or("VIRTUAL" + std::to_string(i));
    if (o.statusReply && (o.statusOn.empty() ||
                          std::find(o.statusOn.begin(), o.statusOn.end(), i) != o.statusOn.end())) {
      programmer.settings.statusReply = *o.statusReply;
    }
    programmer.backAfterFaultUnplug = o.comesBackAfter;
    if (o.versionReply) programmer.settings.mainImageTitle = *o.versionReply;
    programmer.reenumerationDelay = o.reenumerationDelay;
    programmer.settings.restartOnClaim = o.restartOnClaim;
    if (o.socketStatus) programmer.settings.socketStatus = *o.socketStatus;
    if (o.finalVerdict) programmer.settings.finalVerdict = *o.finalVerdict;
    if (!o.faultsOn || *o.faultsOn == i) {
      programmer.faults = o.faults;
      programmer.nodeRefusesOpen = o.noAccess;
      programmer.busyClaims = o.busyClaims;
    }
    programmer.settings.recordHostBytes = false;  // a long run would keep every byte
    devices.push_back(programmer);
  }
  return devices;
}

}  // namespace torv2::emulator
