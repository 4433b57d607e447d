#pragma once
// Live lines on a terminal: one line per programmer at work, redrawn in place at the bottom of
// what was printed so far. Whatever else goes to the terminal while they are shown (a finished
// line on stdout, a message on stderr) goes through here: the lines are taken away, the text is
// printed where they were, and they are drawn again below it.

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace torv2::cli {

class LiveLines {
 public:
  using Writer = std::function<void(std::string_view)>;

  // `terminal`: where the lines and the messages go (stderr); `writeOut`: how text for stdout
  // is written (flushed at once).
  explicit LiveLines(std::FILE* terminal = stderr, Writer writeOut = {});

  // Shows `text` as the line of `key`: in its place when it has one, else as a new last line.
  void Set(const std::string& key, std::string_view text);
  // Takes the line of `key` away, if it has one.
  void Remove(const std::string& key);
  // `text` (whole lines) on stdout, above the live lines.
  void PrintOut(std::string_view text);
  // `text` (whole lines) on the terminal, above the live lines.
  void PrintErr(std::string_view text);

  // A line is cut to this many characters so that it never wraps on an 80-column terminal,
  // which would leave the cursor where the redraw does not expect it.
  static constexpr std::size_t kWidth = 79;

 private:
  // What takes the drawn lines away; the cursor ends where the first of them began.
  std::string EraseLocked() const;
  std::string DrawLocked();
  void RedrawLocked();  // with the lock held
  void WriteTerminal(const std::string& bytes);

  std::mutex mutex_;
  std::FILE* terminal_;
  Writer writeOut_;
  std::vector<std::pair<std::string, std::string>> lines_;  // key, text; in order of arrival
  std::size_t drawn_ = 0;  // lines on the terminal now, the cursor at the start of the next
};

}  // namespace torv2::cli
