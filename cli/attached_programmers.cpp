#include "cli/attached_programmers.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <optional>
#include <utility>

#include "cli/nearest_word.h"

namespace torv2::cli {
namespace {

// "BUS:ADDR" in decimal, leading zeros allowed ("1:3", "001:003").
std::optional<std::pair<unsigned, unsigned>> ParseBusAddress(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto number = [](std::string_view digits) -> std::optional<unsigned> {
    unsigned value = 0;
    const char* end = digits.data() + digits.size();
    if (digits.empty() || digits.size() > 3) return std::nullopt;
    const auto [ptr, error] = std::from_chars(digits.data(), end, value);
    if (error != std::errc() || ptr != end || value > 255) return std::nullopt;
    return value;
  };
  const auto bus = number(text.substr(0, colon));
  const auto address = number(text.substr(colon + 1));
  if (!bus || !address) return std::nullopt;
  return std::pair{*bus, *address};
}

bool SameAddress(std::string_view a, std::string_view b) {
  const auto x = ParseBusAddress(a);
  return x && x == ParseBusAddress(b);
}

// The name to give instead: the port, or the address (on Windows the interface path) where the
// port is unknown.
std::string NameApart(const AttachedProgrammer& p) {
  if (!p.port.empty()) return Printable(p.port);
  return p.address.empty() ? PathText(p.interfacePath) : Printable(p.address);
}

// A path as written, or as `list` shows a name made of it.
bool SamePath(std::string_view path, std::string_view text) {
  return !path.empty() && (SameWindowsPath(path, text) || SameWindowsPath(Printable(path), text));
}

// Where each programmer is, for a message: "1-2, 1-3".
std::string Places(std::span<const AttachedProgrammer> programmers,
                   std::span<const std::size_t> which) {
  std::string out;
  for (const std::size_t i : which) {
    if (!out.empty()) out += ", ";
    out += NameApart(programmers[i]);
  }
  return out;
}

std::map<std::string, std::vector<std::size_t>> ByName(
    std::span<const AttachedProgrammer> programmers) {
  std::map<std::string, std::vector<std::size_t>> names;
  for (std::size_t i = 0; i < programmers.size(); ++i) {
    names[IdentityOf(programmers[i])].push_back(i);
  }
  return names;
}

}  // namespace

bool SameWindowsPath(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

std::string PathText(std::string_view path) {
  const bool plain =
      std::all_of(path.begin(), path.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
  return plain ? std::string(path) : Printable(path);
}

std::string IdentityOf(const AttachedProgrammer& programmer) {
  return link::ProgrammerName(
      programmer.serial, programmer.port,
      programmer.address.empty() ? programmer.interfacePath : programmer.address);
}

std::string ListLine(const AttachedProgrammer& programmer,
                     std::span<const AttachedProgrammer> all) {
  const auto orDash = [](const std::string& text) {
    return text.empty() ? std::string("-") : Printable(text);
  };
  std::string line = IdentityOf(programmer);
  line += "  port " + orDash(programmer.port);
  if (!programmer.address.empty()) line += "  address " + Printable(programmer.address);
  line += "  serial " + orDash(programmer.serial);
  if (!programmer.interfacePath.empty()) line += "  path " + PathText(programmer.interfacePath);
  if (!programmer.detail.empty()) line += "  (" + Printable(programmer.detail) + ")";
  std::size_t namesakes = 0;
  for (const AttachedProgrammer& other : all) {
    if (IdentityOf(other) == IdentityOf(programmer)) ++namesakes;
  }
  if (namesakes > 1) line += "  shares its name: use --device " + NameApart(programmer);
  return line;
}

Selection SelectAll(std::span<const AttachedProgrammer> programmers) {
  Selection selection;
  const auto names = ByName(programmers);
  for (std::size_t i = 0; i < programmers.size(); ++i) {
    const std::string name = IdentityOf(programmers[i]);
    const std::vector<std::size_t>& namesakes = names.at(name);
    if (namesakes.size() == 1) {
      selection.chosen.push_back(i);
    } else if (namesakes.front() == i) {
      selection.refusals.push_back(std::to_string(namesakes.size()) + " programmers go by " + name +
                                   " (at " + Places(programmers, namesakes) +
                                   "): none of them is used; name each by its port with --device, "
                                   "or give them serial numbers of their own");
    }
  }
  return selection;
}

Selection SelectUnnamed(std::span<const AttachedProgrammer> programmers, std::string_view command) {
  Selection selection;
  if (programmers.size() == 1) selection.chosen.push_back(0);
  if (programmers.size() <= 1) return selection;
  std::string refusal = std::to_string(programmers.size()) +
                        " programmers are attached and none was named, so none is used:\n";
  for (const AttachedProgrammer& p : programmers) refusal += "  " + ListLine(p, programmers) + "\n";
  const AttachedProgrammer& first = programmers.front();
  const bool unique =
      SelectNamed(programmers, IdentityOf(first)).chosen.size() == 1;  // no namesake
  refusal += "name one with --device (e.g. torv2-upgrader-cli " + std::string(command) +
             " --device " + (unique ? IdentityOf(first) : NameApart(first)) +
             "), or take every one with --all";
  selection.refusals.push_back(refusal);
  return selection;
}

Selection SelectNamed(std::span<const AttachedProgrammer> programmers, std::string_view text) {
  Selection selection;
  std::vector<std::size_t> matches;
  for (std::size_t i = 0; i < programmers.size(); ++i) {
    const AttachedProgrammer& p = programmers[i];
    if (IdentityOf(p) == text || (!p.port.empty() && p.port == text) ||
        SameAddress(p.address, text) || SamePath(p.locationPath, text) ||
        SamePath(p.interfacePath, text)) {
      matches.push_back(i);
    }
  }
  if (matches.size() == 1) {
    selection.chosen = matches;
  } else if (matches.empty()) {
    std::vector<std::string> names;
    for (const AttachedProgrammer& p : programmers) names.push_back(IdentityOf(p));
    std::string refusal = "no programmer goes by " + Printable(text);
    if (const auto nearest = NearestWord(text, names))
      refusal += "; did you mean " + *nearest + "?";
    std::string attached;
    for (const std::string& name : names) attached += (attached.empty() ? "" : ", ") + name;
    refusal += attached.empty() ? " (no programmer is attached)"
                                : " (attached: " + attached + "; see the list command)";
    selection.refusals.push_back(refusal);
  } else {
    selection.refusals.push_back(std::to_string(matches.size()) + " programmers go by " +
                                 Printable(text) + " (at " + Places(programmers, matches) +
                                 "): name one by its port, e.g. --device " +
                                 NameApart(programmers[matches.front()]));
  }
  return selection;
}

}  // namespace torv2::cli
