#include "cli/udev_rule.h"

#include <fcntl.h>
#include <grp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

#include "link/failure.h"

extern char** environ;

namespace torv2::cli {
namespace {

std::string Hex4(std::uint16_t value) {
  char text[5];
  std::snprintf(text, sizeof text, "%04x", unsigned{value});
  return text;
}

// Runs a program found on PATH with `args`, without a shell; its exit status, or -1 with `error`
// set when it could not be run.
int Run(const std::vector<std::string>& args, std::string& error) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  const int r = posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ);
  if (r != 0) {
    error = args[0] + ": " + std::strerror(r);
    return -1;
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      error = args[0] + ": " + std::strerror(errno);
      return -1;
    }
  }
  if (!WIFEXITED(status)) {
    error = args[0] + " ended by signal " + std::to_string(WTERMSIG(status));
    return -1;
  }
  return WEXITSTATUS(status);
}

std::string Failed(const std::filesystem::path& file, int error) {
  std::string text =
      "cannot write " + file.string() + ": " + std::strerror(error) + "; nothing was changed";
  if (error == EACCES || error == EPERM || error == EROFS) text += " (run it as root)";
  return text;
}

}  // namespace

std::string UdevRule(std::span<const UsbId> ids, std::string_view group, RuleIds from) {
  std::string text = "# ZARN TORV II programmers: the user at the seat";
  if (!group.empty()) text += " and the group " + std::string(group);
  text += " may open them (torv2-upgrader).\n";
  text += from == RuleIds::Found
              ? "# Written by torv2-upgrader-cli udev-rule for the programmers it found attached.\n"
              : "# Written by torv2-upgrader-cli udev-rule for the USB ids it was given (--id).\n";
  for (const UsbId& id : ids) {
    text += "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" +
            Hex4(id.vendor) + "\", ATTR{idProduct}==\"" + Hex4(id.product) + "\", TAG+=\"uaccess\"";
    if (!group.empty()) text += ", GROUP=\"" + std::string(group) + "\", MODE=\"0660\"";
    text += "\n";
  }
  return text;
}

std::string ParseUsbId(std::string_view text, UsbId& id) {
  const auto number = [](std::string_view part, std::uint16_t& value) {
    if (part.size() != 4 || !std::all_of(part.begin(), part.end(), [](char c) {
          return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        })) {
      return false;
    }
    unsigned parsed = 0;
    std::from_chars(part.data(), part.data() + part.size(), parsed, 16);
    value = static_cast<std::uint16_t>(parsed);
    return true;
  };
  const std::size_t colon = text.find(':');
  UsbId parsed;
  if (colon == std::string_view::npos || !number(text.substr(0, colon), parsed.vendor) ||
      !number(text.substr(colon + 1), parsed.product)) {
    return "'" + std::string(text) +
           "' is not a USB id: give the vendor and product id as VID:PID, four hexadecimal digits "
           "each, as `lsusb` shows them for the programmer";
  }
  if (parsed.vendor == 0 || parsed.product == 0) {
    return "'" + std::string(text) + "' is not a USB id: 0000 is not a " +
           (parsed.vendor == 0 ? "vendor" : "product") + " id";
  }
  id = parsed;
  return {};
}

std::string CheckRuleGroup(std::string_view name) {
  // What useradd accepts; nothing that could end the rule's quotes or add a key.
  const bool wellFormed = !name.empty() && name.size() <= 32 && name.front() != '-' &&
                          std::all_of(name.begin(), name.end(), [](char c) {
                            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                   (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
                          });
  if (!wellFormed) return "'" + std::string(name) + "' is not a group name";
  if (::getgrnam(std::string(name).c_str()) == nullptr) {
    return "there is no group '" + std::string(name) + "' on this system";
  }
  return {};
}

std::string WriteUdevRule(const std::filesystem::path& dir, std::string_view text) {
  const std::filesystem::path target = dir / kUdevRuleFile;
  std::string temp = (dir / ("." + std::string(kUdevRuleFile) + ".XXXXXX")).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return Failed(target, errno);
  int error = 0;
  std::size_t done = 0;
  while (done < text.size() && error == 0) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  if (error == 0 && ::fchmod(fd, 0644) != 0) error = errno;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && std::rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    return Failed(target, error);
  }
  return {};
}

std::string ReloadUdev() {
  const std::vector<std::vector<std::string>> steps = {
      {"udevadm", "control", "--reload-rules"},
      {"udevadm", "trigger", "--action=change", "--subsystem-match=usb"},
  };
  for (const auto& step : steps) {
    std::string error;
    const int status = Run(step, error);
    if (status < 0) return error;
    if (status != 0) {
      std::string command;
      for (const std::string& a : step) command += (command.empty() ? "" : " ") + a;
      return command + " exited with " + std::to_string(status);
    }
  }
  return {};
}

std::string UncheckedLine(std::span<const link::UncheckedDevice> unchecked) {
  if (unchecked.empty()) return {};
  std::string line = std::to_string(unchecked.size()) + " USB device" +
                     (unchecked.size() == 1 ? "" : "s") +
                     " could not be checked for a programmer: ";
  for (std::size_t i = 0; i < unchecked.size(); ++i) {
    if (i) line += ", ";
    line += link::DevicePlace(unchecked[i]) + " (" +
            std::string(link::OpenStatusName(unchecked[i].why)) + ")";
  }
  return line + "\n";
}

std::string PermissionFix(std::span<const link::UncheckedDevice> unchecked) {
  const bool permission = std::any_of(unchecked.begin(), unchecked.end(), [](const auto& d) {
    return d.why == link::OpenStatus::AccessDenied;
  });
  if (!permission) return {};
  return "fix: this user has no permission to open USB devices; install the udev rule that lets "
         "the user at the seat open programmers: with the programmer plugged in, run "
         "`sudo torv2-upgrader-cli udev-rule --install` (`torv2-upgrader-cli udev-rule` shows the "
         "rule), then plug the programmer in again\n";
}

}  // namespace torv2::cli
