#include "link/winusb/device_identity.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

namespace torv2::link::winusb {
namespace {

// Printable ASCII without the space: what an instance ID or a location path is made of.
bool Visible(char c) {
  return c > 0x20 && c < 0x7F;
}

bool AllVisible(std::string_view text) {
  return std::all_of(text.begin(), text.end(), Visible);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// "NAME(VALUE)": one element of a location path.
struct Element {
  std::string_view name;
  std::string_view value;
};

std::optional<Element> ElementOf(std::string_view text) {
  const std::size_t open = text.find('(');
  if (open == std::string_view::npos || open == 0 || text.size() < open + 3 || text.back() != ')')
    return std::nullopt;
  const std::string_view value = text.substr(open + 1, text.size() - open - 2);
  if (value.find_first_of("()") != std::string_view::npos) return std::nullopt;
  return Element{text.substr(0, open), value};
}

// A number of at most eight digits in `base`, no larger than `most`.
std::optional<std::uint32_t> Number(std::string_view digits, int base, std::uint32_t most) {
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  const char* end = digits.data() + digits.size();
  const auto [ptr, error] = std::from_chars(digits.data(), end, value, base);
  if (error != std::errc() || ptr != end || value > most) return std::nullopt;
  return value;
}

std::string Hex(std::uint32_t value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", width, static_cast<unsigned>(value));
  return text;
}

// USB allows five hubs between the root hub and a device: six ports at most.
constexpr std::size_t kMostPorts = 7;

}  // namespace

std::string SerialFromInstanceId(std::string_view instanceId) {
  if (instanceId.empty() || instanceId.size() > kMaxInstanceIdLength) return {};
  const std::size_t first = instanceId.find('\\');
  const std::size_t last = instanceId.find('\\', first + 1);
  if (first == std::string_view::npos || last == std::string_view::npos ||
      instanceId.find('\\', last + 1) != std::string_view::npos) {
    return {};
  }
  const std::string_view enumerator = instanceId.substr(0, first);
  const std::string_view hardware = instanceId.substr(first + 1, last - first - 1);
  const std::string_view serial = instanceId.substr(last + 1);
  if (!EqualNoCase(enumerator, "USB") || hardware.empty() || serial.empty()) return {};
  // Made up by Windows ("5&2C0F7B3E&0&2"), or not a serial number Windows would have taken.
  if (serial.find('&') != std::string_view::npos || serial.find(',') != std::string_view::npos ||
      !AllVisible(serial)) {
    return {};
  }
  return std::string(serial);
}

std::optional<PortLocation> PortOfLocationPath(std::string_view locationPath) {
  if (locationPath.empty() || locationPath.size() > kMaxLocationPathLength ||
      !AllVisible(locationPath)) {
    return std::nullopt;
  }
  std::vector<Element> elements;
  for (std::size_t from = 0;;) {
    const std::size_t hash = locationPath.find('#', from);
    const auto element = ElementOf(locationPath.substr(from, hash - from));
    if (!element) return std::nullopt;
    elements.push_back(*element);
    if (hash == std::string_view::npos) break;
    from = hash + 1;
  }

  // PCIROOT(r), then the PCI functions down to the controller, then its root hub and the ports.
  std::size_t at = 0;
  if (elements[at].name != "PCIROOT") return std::nullopt;
  const auto root = Number(elements[at++].value, 16, 0xFFFF'FFFF);
  if (!root) return std::nullopt;
  std::string functions;
  for (; at < elements.size() && elements[at].name == "PCI"; ++at) {
    const auto function = Number(elements[at].value, 16, 0xFFFF);
    if (!function) return std::nullopt;
    functions += (functions.empty() ? "" : ".") + Hex(*function, 4);
  }
  if (functions.empty() || at == elements.size() || elements[at].name != "USBROOT") {
    return std::nullopt;
  }
  const auto usbRoot = Number(elements[at++].value, 10, 255);
  if (!usbRoot) return std::nullopt;
  std::string ports;
  std::size_t portCount = 0;
  for (; at < elements.size() && elements[at].name == "USB"; ++at) {
    const auto port = Number(elements[at].value, 10, 255);
    if (!port || *port == 0 || ++portCount > kMostPorts) return std::nullopt;
    ports += (ports.empty() ? "" : ".") + std::to_string(*port);
  }
  if (ports.empty()) return std::nullopt;
  // An interface of a composite device: the port is the device's.
  for (; at < elements.size(); ++at) {
    if (elements[at].name != "USBMI" || !Number(elements[at].value, 10, 255)) return std::nullopt;
  }

  std::string name = "pci";
  if (*root != 0) name += Hex(*root, 1) + ":";
  name += functions;
  if (*usbRoot != 0) name += "/" + std::to_string(*usbRoot);
  name += "-" + ports;
  return PortLocation{std::move(name), std::string(locationPath)};
}

std::optional<PortLocation> PortFromLocationPaths(std::span<const std::uint8_t> data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()),
                              std::min(data.size(), kMaxLocationPathsSize));
  for (std::size_t from = 0; from < text.size();) {
    const std::size_t nul = text.find('\0', from);
    if (nul == std::string_view::npos) break;  // cut short: not believed
    const std::string_view entry = text.substr(from, nul - from);
    if (entry.empty()) break;  // the end of the list
    if (entry.starts_with("PCIROOT(")) {
      if (auto port = PortOfLocationPath(entry)) return port;
    }
    from = nul + 1;
  }
  return std::nullopt;
}

}  // namespace torv2::link::winusb
