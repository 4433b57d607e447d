#pragma once
// Letting a user without root open the programmer on Linux: a udev rule that tags each attached
// programmer's vendor and product id with "uaccess" (logind then gives the user at the seat
// access to its device node), where to put it, and what to say when devices could not be opened.

#include <compare>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "link/usb_transport.h"

namespace torv2::cli {

inline constexpr char kUdevRulesDir[] = "/etc/udev/rules.d";
// "uaccess" must be set before 73-seat-late.rules acts on it: the name sorts before that.
inline constexpr char kUdevRuleFile[] = "70-torv2-upgrader.rules";

struct UsbId {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  friend auto operator<=>(const UsbId&, const UsbId&) = default;
};

// Where the ids of a rule come from: the programmers found attached, or `--id`.
enum class RuleIds { Found, Given };

// The rule file's text: a comment, then one line per id. With a `group`, the members of that
// group may open the programmers too (GROUP=, MODE="0660"): the way for users who log in
// without a seat (over SSH, on a build machine), whom "uaccess" leaves out.
std::string UdevRule(std::span<const UsbId> ids, std::string_view group = {},
                     RuleIds from = RuleIds::Found);

// Reads a vendor and product id as `udev-rule --id` takes them: VID:PID, four hexadecimal digits
// each (either case), neither of them 0000. Empty when `text` is one, else why not.
std::string ParseUsbId(std::string_view text, UsbId& id);

// Empty when `name` can stand in a rule as a group of this system, else why not.
std::string CheckRuleGroup(std::string_view name);

// Writes `text` as kUdevRuleFile into `dir` in one piece: a new file beside it, renamed over the
// old one, so that either the whole new rule is in place or nothing changed. Empty when written,
// else what went wrong.
std::string WriteUdevRule(const std::filesystem::path& dir, std::string_view text);

// Asks udev to read its rules again and to apply them to the attached USB devices (udevadm, as
// found on PATH). Empty when done, else what failed.
std::string ReloadUdev();

// For devices that could not be opened to see whether they are programmers: one line naming how
// many and where ("1 USB device could not be checked for a programmer: bus 1 port 1-2 (no
// permission)"). Empty when there are none.
std::string UncheckedLine(std::span<const link::UncheckedDevice> unchecked);
// For devices refused for lack of permission: the fix, one line. Empty when there are none.
std::string PermissionFix(std::span<const link::UncheckedDevice> unchecked);

}  // namespace torv2::cli
