#include "upgrade/upgrade_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace torv2::upgrade {
namespace {

constexpr char kTop[] = "┌─────────┬─────────┬─────────┬─────────┐";
constexpr char kMiddle[] = "├─────────┼─────────┼─────────┼─────────┤";
constexpr char kBottom[] = "└─────────┴─────────┴─────────┴─────────┘　　　　　　";

std::string Table(const std::string& upperRow, const std::string& lowerRow) {
  return std::string(kTop) + "\n" + upperRow + "\n" + kMiddle + "\n" + lowerRow + "\n" + kBottom +
         "\n";
}

SubSocketStatus Status(std::string_view eight) {
  SubSocketStatus status{};
  for (std::size_t i = 0; i < status.size(); ++i) status[i] = static_cast<std::uint8_t>(eight[i]);
  return status;
}

struct TableCase {
  const char* name;
  std::optional<SubSocketStatus> status;
  std::string upperRow;
  std::string lowerRow;
};

TEST(UpgradeReport, SocketTableShowsEachSocketsStatus) {
  using std::string_view_literals::operator""sv;
  const TableCase cases[] = {
      {"all upgraded", Status("UUUUUUUU"),
       "│ＳＵＢ１（ＯＫ）　│ＳＵＢ２（ＯＫ）　│ＳＵＢ３（ＯＫ）　│ＳＵＢ４（ＯＫ）　│",
       "│ＳＵＢ５（ＯＫ）　│ＳＵＢ６（ＯＫ）　│ＳＵＢ７（ＯＫ）　│ＳＵＢ８（ＯＫ）　│"},
      {"socket 3 not upgraded", Status("UUXUUUUU"),
       "│ＳＵＢ１（ＯＫ）　│ＳＵＢ２（ＯＫ）　│ＳＵＢ３（ＢＡＤ）│ＳＵＢ４（ＯＫ）　│",
       "│ＳＵＢ５（ＯＫ）　│ＳＵＢ６（ＯＫ）　│ＳＵＢ７（ＯＫ）　│ＳＵＢ８（ＯＫ）　│"},
      {"lower-case u, NUL and high bytes are failures", Status("uU\0U\xD5UU\xFF"sv),
       "│ＳＵＢ１（ＢＡＤ）│ＳＵＢ２（ＯＫ）　│ＳＵＢ３（ＢＡＤ）│ＳＵＢ４（ＯＫ）　│",
       "│ＳＵＢ５（ＢＡＤ）│ＳＵＢ６（ＯＫ）　│ＳＵＢ７（ＯＫ）　│ＳＵＢ８（ＢＡＤ）│"},
      {"sub stage skipped: no status arrived", std::nullopt,
       "│ＳＵＢ１（ＢＡＤ）│ＳＵＢ２（ＢＡＤ）│ＳＵＢ３（ＢＡＤ）│ＳＵＢ４（ＢＡＤ）│",
       "│ＳＵＢ５（ＢＡＤ）│ＳＵＢ６（ＢＡＤ）│ＳＵＢ７（ＢＡＤ）│ＳＵＢ８（ＢＡＤ）│"},
  };
  for (const auto& c : cases) {
    UpgradeReport report;
    ComposeUpgradeReport(report, true, true, c.status, false);
    EXPECT_EQ(report.socketTable, Table(c.upperRow, c.lowerRow)) << c.name;
  }
}

// The cells must be the listed double-width characters, not look-alikes.
TEST(UpgradeReport, CellsAreTheListedCharacters) {
  UpgradeReport report;
  ComposeUpgradeReport(report, true, true, Status("UUUUUUUU"), false);
  const std::string okCell =
      "\xEF\xBC\xB3\xEF\xBC\xB5\xEF\xBC\xA2"              // U+FF33 U+FF35 U+FF22
      "\xEF\xBC\x91"                                      // U+FF11
      "\xEF\xBC\x88\xEF\xBC\xAF\xEF\xBC\xAB\xEF\xBC\x89"  // U+FF08 U+FF2F U+FF2B U+FF09
      "\xE3\x80\x80"                                      // U+3000
      "\xE2\x94\x82";                                     // U+2502
  EXPECT_NE(report.socketTable.find("\n\xE2\x94\x82" + okCell), std::string::npos);
}

// In a font where every character has one width, the borders and the rows line up.
TEST(UpgradeReport, TableLinesLineUp) {
  for (const auto& status : {std::optional(Status("UUXUuUUU")), std::optional<SubSocketStatus>()}) {
    UpgradeReport report;
    ComposeUpgradeReport(report, false, false, status, false);
    const std::string& table = report.socketTable;
    std::vector<std::size_t> widths;
    std::size_t start = 0;
    for (std::size_t end; (end = table.find('\n', start)) != std::string::npos; start = end + 1) {
      std::size_t codePoints = 0;
      for (std::size_t i = start; i < end; ++i) {
        if ((static_cast<unsigned char>(table[i]) & 0xC0) != 0x80) ++codePoints;
      }
      widths.push_back(codePoints);
    }
    EXPECT_EQ(start, table.size()) << "the table ends with a line break";
    EXPECT_EQ(widths, (std::vector<std::size_t>{41, 41, 41, 41, 47}));
  }
}

TEST(UpgradeReport, ResultLinesFollowTheirOwnFlags) {
  struct Case {
    bool mainOk, subOk;
    const char* mainLine;
    const char* subLine;
  };
  const Case cases[] = {
      {true, true, "Torv2 Main Execute - Upgrade OK", "Torv2 Sub Execute - Upgrade OK"},
      {false, true, "Torv2 Main Execute - Upgrade Fail", "Torv2 Sub Execute - Upgrade OK"},
      {true, false, "Torv2 Main Execute - Upgrade OK", "Torv2 Sub Execute - Upgrade Fail"},
      {false, false, "Torv2 Main Execute - Upgrade Fail", "Torv2 Sub Execute - Upgrade Fail"},
  };
  for (const auto& c : cases) {
    UpgradeReport report;
    ComposeUpgradeReport(report, c.mainOk, c.subOk, Status("XXXXXXXX"), false);
    EXPECT_EQ(report.mainResult, c.mainLine);
    EXPECT_EQ(report.subResult, c.subLine);  // sub success above a table of BAD cells
  }
}

TEST(UpgradeReport, SubSocketErrorReplacesSubLineAndTable) {
  for (const auto& status : {std::optional(Status("UUUUUUUU")), std::optional<SubSocketStatus>()}) {
    UpgradeReport report;
    report.subResult = "left from before";
    report.upgradeVersion = "Upgrade Version : 2.08";
    report.currentVersion = "Current Version : 2.07";
    ComposeUpgradeReport(report, true, true, status, true);
    EXPECT_EQ(report.mainResult, "Torv2 Main Execute - Upgrade OK");
    EXPECT_EQ(report.subResult, "");
    EXPECT_EQ(report.socketTable, "\n             All Sub Socket Error!\n");
    EXPECT_EQ(report.upgradeVersion, "Upgrade Version : 2.08");
    EXPECT_EQ(report.currentVersion, "Current Version : 2.07");
  }
}

}  // namespace
}  // namespace torv2::upgrade
