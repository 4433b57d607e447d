#include "emulator/umockdev/launcher_options.h"

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

}  // namespace

void AddLauncherOptions(CLI::App& app, LauncherOptions& o) {
  app.description(
      "Runs COMMAND with virtual TORV II programmers attached over emulated USB (umockdev). "
      "COMMAND finds them through libusb like real devices. Exits with COMMAND's exit status.");
  app.footer(
      "Put -- before COMMAND. Examples:\n"
      "  with-virtual-programmer -- lsusb -v\n"
      "  with-virtual-programmer --decoy --two --unplug-at 500 -- some-program ARGS");

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
  app.add_option("--status", o.statusReply, "The programmers' reply to CurrentStatus")
      ->type_name("TEXT");
  app.add_option("--version", o.versionReply, "The programmers' reply to VersionRead:")
      ->type_name("TEXT");
  AddTime(app, "--unplug-at", o.unplugAt,
          "Unplug the first programmer MS milliseconds after COMMAND started");
  AddTime(app, "--replug-at", o.replugAt,
          "Plug the first programmer back in (at a new address) MS milliseconds after COMMAND "
          "started");
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
    programmer.serial = "VIRTUAL" + std::to_string(i);
    if (o.statusReply) programmer.settings.statusReply = *o.statusReply;
    if (o.versionReply) programmer.settings.versionReply = *o.versionReply;
    programmer.settings.recordHostBytes = false;  // a long run would keep every byte
    devices.push_back(programmer);
  }
  return devices;
}

}  // namespace torv2::emulator
