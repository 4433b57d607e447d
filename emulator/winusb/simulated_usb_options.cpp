#include "emulator/winusb/simulated_usb_options.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <utility>

#include <CLI/CLI.hpp>

namespace torv2::emulator::winusb {
namespace {

bool Printable(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

struct Parsed {
  int count = 1;
  bool decoy = false;
  bool highSpeed = false;
  std::optional<std::string> serial;
  std::optional<std::string> statusReply;
  std::optional<std::string> versionReply;
  long reenumerationDelayMs = 0;
  bool restartOnClaim = false;
  std::optional<std::string> sockets;
  std::optional<std::string> finalVerdict;
  Faults faults;
  bool noAccess = false;
  std::optional<int> faultsOn;
  bool lastArrivesOnReset = false;
  std::vector<std::string> held;
  std::vector<std::string> timed;  // MS:ACTION:N
  std::vector<int> statusOn;
  std::optional<long> comesBackAfterMs;
  std::optional<std::string> interruptEvent;
};

void AddOptions(CLI::App& app, Parsed& o) {
  auto* count = app.add_option("--count", o.count)->check(CLI::Range(0, 100));
  app.add_flag_callback("--two", [&o] { o.count = 2; })->excludes(count);
  app.add_flag("--decoy", o.decoy);
  app.add_flag("--msos1");  // Windows finds the interface the same from either descriptor set
  app.add_flag("--high-speed", o.highSpeed);
  app.add_option("--serial", o.serial)->check([](const std::string& text) {
    return text.size() <= 126 && Printable(text) ? std::string() : "not a serial number: " + text;
  });
  app.add_option("--status", o.statusReply);
  app.add_option("--version", o.versionReply);
  app.add_option("--reenumeration-delay", o.reenumerationDelayMs)->check(CLI::NonNegativeNumber);
  app.add_flag("--restart-on-claim", o.restartOnClaim);
  app.add_option("--sockets", o.sockets)->check([](const std::string& text) {
    return text.size() == 8 && Printable(text) ? std::string()
                                               : "not eight printable characters: " + text;
  });
  app.add_option("--final-verdict", o.finalVerdict);
  app.add_option_function<std::string>(
         "--fault", [&o](const std::string& text) { o.faults.atStep = ParseStepFault(text); })
      ->check([](const std::string& text) {
        return ParseStepFault(text) ? std::string()
                                    : "not STEP:N:KIND (e.g. read-chunk:2:corrupt): " + text;
      });
  app.add_flag("--no-access", o.noAccess);
  app.add_option("--faults-on", o.faultsOn)->check(CLI::PositiveNumber);
  app.add_option("--nak", o.faults.nakFrames)->check(CLI::NonNegativeNumber);
  app.add_option("--upper-checksum", o.faults.upperCaseChecksums)->check(CLI::NonNegativeNumber);
  app.add_option("--junk-before-reply", o.faults.junkBeforeReply);
  app.add_flag("--a4", o.faults.a4StartMarker);
  app.add_flag("--no-answer", o.faults.noAnswer);
  app.add_option("--split", o.faults.splitWrites)->check(CLI::PositiveNumber);
  app.add_flag("--merge", o.faults.mergeWrites);
  app.add_flag("--last-arrives-on-reset", o.lastArrivesOnReset);
  // Windows' own: the device file of the programmer with this serial number is open in another
  // program.
  app.add_option("--held", o.held)->type_name("SERIAL");
  // At MS milliseconds after the world started, plug programmer N in (it is off the bus until
  // then), unplug it, or replug it; again for more.
  app.add_option("--at", o.timed)
      ->type_name("MS:ACTION:N")
      ->allow_extra_args(false)
      ->check([](const std::string& text) {
        return ParseTimedEvent(text) ? std::string()
                                     : "not MS:ACTION:N (e.g. 1500:plug:3, ACTION plug, unplug or "
                                       "replug): " +
                                           text;
      });
  app.add_option("--status-on", o.statusOn)->allow_extra_args(false)->check(CLI::PositiveNumber);
  app.add_option("--comes-back-after", o.comesBackAfterMs)->check(CLI::NonNegativeNumber);
  // The test program's own: the named event, when set, is taken as Ctrl-C (a program started
  // without a console cannot be sent one under Wine).
  app.add_option("--interrupt-event", o.interruptEvent)->type_name("NAME");
}

}  // namespace

std::optional<std::vector<std::string>> SplitWords(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else if (c == '\'' || c == '"') {
      const std::size_t end = text.find(c, i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      word.append(text.substr(i + 1, end - i - 1));
      inWord = true;
      i = end;
    } else {
      word.push_back(c);
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

std::optional<SimulatedUsbSetup> ParseSimulatedUsb(std::string_view text, std::string& error) {
  const auto words = SplitWords(text);
  if (!words) {
    error = "a quote is not closed";
    return std::nullopt;
  }
  CLI::App app("simulated USB");
  Parsed o;
  AddOptions(app, o);
  std::vector<std::string> reversed(words->rbegin(), words->rend());  // CLI11 takes them so
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    error = e.what();
    return std::nullopt;
  }

  std::vector<TimedEvent> timed;
  for (const std::string& text : o.timed) {
    timed.push_back(*ParseTimedEvent(text));
    if (timed.back().programmer > o.count) {
      error =
          "--at " + text + ": there is no programmer " + std::to_string(timed.back().programmer);
      return std::nullopt;
    }
  }

  SimulatedUsbSetup setup;
  setup.options.lastArrivesOnReset = o.lastArrivesOnReset;
  if (o.interruptEvent) setup.interruptEvent = *o.interruptEvent;
  std::uint8_t port = 1;
  if (o.decoy) {
    SimulatedDevice decoy;
    decoy.serial = "DECOY";
    decoy.carriesGuid = false;
    decoy.port.ports = {port++};
    setup.devices.push_back(decoy);
  }
  const std::size_t firstProgrammer = setup.devices.size();
  for (int i = 1; i <= o.count; ++i) {
    SimulatedDevice d;
    d.serial = o.serial.value_or("VIRTUAL" + std::to_string(i));
    d.port.ports = {port++};
    d.acpiPathFirst = i % 2 == 0;  // Windows lists the two paths in either order
    d.reenumerationDelay = std::chrono::milliseconds(o.reenumerationDelayMs);
    DeviceSettings& s = d.settings;
    s.maxPacketSize = o.highSpeed ? 512 : 64;
    const bool statusHere = o.statusOn.empty() ||
                            std::find(o.statusOn.begin(), o.statusOn.end(), i) != o.statusOn.end();
    if (o.statusReply && statusHere) s.statusReply = *o.statusReply;
    if (o.versionReply) s.mainImageTitle = *o.versionReply;
    s.restartOnClaim = o.restartOnClaim;
    if (o.sockets) std::copy(o.sockets->begin(), o.sockets->end(), s.socketStatus.begin());
    if (o.finalVerdict) s.finalVerdict = *o.finalVerdict;
    s.recordHostBytes = false;  // a long run would keep every byte
    if (!o.faultsOn || *o.faultsOn == i) {
      d.faults = o.faults;
      d.heldElsewhere = o.noAccess;
    }
    if (std::find(o.held.begin(), o.held.end(), d.serial) != o.held.end()) d.heldElsewhere = true;
    if (o.comesBackAfterMs) d.comesBackAfter = std::chrono::milliseconds(*o.comesBackAfterMs);
    setup.devices.push_back(std::move(d));
  }
  for (const TimedEvent& t : timed) {
    const std::size_t index = firstProgrammer + static_cast<std::size_t>(t.programmer - 1);
    if (t.action == TimedAction::Action::Plug) setup.devices[index].attached = false;
    setup.options.timeline.push_back({t.action, index, t.at});
  }
  return setup;
}

}  // namespace torv2::emulator::winusb
