#include "cli/live_lines.h"

#include <algorithm>

#include "cli/interrupts.h"

namespace torv2::cli {

LiveLines::LiveLines(std::FILE* terminal, Writer writeOut)
    : terminal_(terminal), writeOut_(writeOut ? std::move(writeOut) : Writer(WriteOut)) {}

void LiveLines::Set(const std::string& key, std::string_view text) {
  std::lock_guard lock(mutex_);
  std::string shown(text.substr(0, kWidth));
  const auto line = std::find_if(lines_.begin(), lines_.end(),
                                 [&key](const auto& entry) { return entry.first == key; });
  if (line == lines_.end()) {
    lines_.emplace_back(key, std::move(shown));
  } else if (line->second == shown) {
    return;
  } else {
    line->second = std::move(shown);
  }
  RedrawLocked();
}

void LiveLines::Remove(const std::string& key) {
  std::lock_guard lock(mutex_);
  const auto line = std::find_if(lines_.begin(), lines_.end(),
                                 [&key](const auto& entry) { return entry.first == key; });
  if (line == lines_.end()) return;
  lines_.erase(line);
  RedrawLocked();
}

void LiveLines::PrintOut(std::string_view text) {
  std::lock_guard lock(mutex_);
  if (drawn_ > 0) {
    WriteTerminal(EraseLocked());
    drawn_ = 0;
  }
  writeOut_(text);
  WriteTerminal(DrawLocked());
}

void LiveLines::PrintErr(std::string_view text) {
  std::lock_guard lock(mutex_);
  std::string bytes = EraseLocked();
  bytes += text;
  if (!text.empty() && text.back() != '\n') bytes += '\n';  // the lines begin on one of their own
  bytes += DrawLocked();
  WriteTerminal(bytes);
}

void LiveLines::RedrawLocked() {
  std::string bytes = EraseLocked();  // before the draw, which counts the lines anew
  bytes += DrawLocked();
  WriteTerminal(bytes);
}

std::string LiveLines::EraseLocked() const {
  if (drawn_ == 0) return {};
  // Up to the first drawn line, then clear to the end of the screen.
  return "\x1b[" + std::to_string(drawn_) + "A\x1b[J";
}

std::string LiveLines::DrawLocked() {
  std::string bytes;
  for (const auto& [key, text] : lines_) bytes += text + "\n";
  drawn_ = lines_.size();
  return bytes;
}

void LiveLines::WriteTerminal(const std::string& bytes) {
  if (bytes.empty()) return;
  std::fwrite(bytes.data(), 1, bytes.size(), terminal_);
  std::fflush(terminal_);
}

}  // namespace torv2::cli
