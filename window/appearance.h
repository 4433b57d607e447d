#pragma once
// What both windows show alike: the title suffixes, the texts of unknown versions, the progress
// bar's colours, and the result dialog's two fonts with the faces to try for each, best first.

#include <array>
#include <cstdint>
#include <string_view>

namespace torv2::window {

// Appended to the caption of the window's template. U+3000 is the ideographic space, U+00A7 the
// section sign.
inline constexpr std::string_view kTitleConnected = "\u3000\u3000\u3000\u00A7 USB OK \u00A7";
inline constexpr std::string_view kTitleDisconnected = "\u3000\u00A7 USB UnConn \u00A7";
// Between kTitleConnected and the name of the programmer found, where the transport tells it.
inline constexpr std::string_view kTitleNameSeparator = "\u3000";

inline constexpr std::string_view kUnknownVersion = "Unknown";

struct Rgb {
  std::uint8_t red, green, blue;
};

// The main window's bar: dark blue on white. The text colours stay the system's.
inline constexpr Rgb kBarColour{0x00, 0x00, 0x99};
inline constexpr Rgb kBarBackground{0xFF, 0xFF, 0xFF};

// The result dialog's fonts, both bold, by character cell height in pixels. The report font (the
// main, sub and version lines) is Verdana or the nearest sans; the table font is a Korean face
// whose box-drawing characters are as wide as its full-width forms, so the socket table lines up.
inline constexpr int kReportFontCellHeight = 16;
inline constexpr int kTableFontCellHeight = 12;
inline constexpr std::array<std::string_view, 3> kReportFontFaces = {"Verdana", "DejaVu Sans",
                                                                     "Tahoma"};
inline constexpr std::array<std::string_view, 6> kTableFontFaces = {
    "\uAD74\uB9BC",  // 굴림 (Gulim), as the report was laid out for
    "Gulim",        "GulimChe", "Baekmuk Gulim", "NanumGothicCoding", "Noto Sans Mono CJK KR"};

}  // namespace torv2::window
