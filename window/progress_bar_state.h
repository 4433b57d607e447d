#pragma once
// The text progress bar apart from drawing it: its position, range, label and show flag, and when
// it must be drawn again. Both windows' bars keep one and paint what it says.
//
// SetPos redraws at once only when the filled width changes by a pixel or more (so a transfer
// that reports every chunk costs at most one redraw a pixel); SetText repaints later, and only
// when the show flag changes: a new label shows with the next redraw.

#include <string>
#include <string_view>

namespace torv2::window {

class ProgressBarState {
 public:
  // Stores the position; true when a bar `width` pixels wide must be redrawn now.
  bool SetPos(int position, int width);
  // Stores the label (UTF-8) and the show flag; true when the bar must be repainted later.
  bool SetText(std::string_view label, bool show);
  void SetRange(int lower, int upper) {  // no redraw
    lower_ = lower;
    upper_ = upper;
  }
  // The bar's size changed: the next SetPos redraws whatever its width.
  void Resized() { drawnWidth_ = -1; }

  int Pos() const { return position_; }
  bool ShowsText() const { return showText_; }
  const std::string& Label() const { return label_; }
  // Whether there is a range to show at all (the system always sets 0..100).
  bool HasRange() const { return lower_ < upper_; }
  int FilledWidth(int width) const;
  // What the bar shows as text now: "<label> - <percentage>%", empty while text display is off.
  std::string DisplayText() const;

 private:
  int position_ = 0;
  int upper_ = 100;
  int lower_ = 0;
  bool showText_ = false;
  int drawnWidth_ = -1;  // filled width at the last redraw that SetPos caused; −1: compute again
  std::string label_;
};

}  // namespace torv2::window
