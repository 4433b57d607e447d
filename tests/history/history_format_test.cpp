// The history as the command line shows it.
#include <gtest/gtest.h>

#include <vector>

#include "history/history_format.h"
#include "tests/history/history_test_support.h"

namespace torv2::history {
namespace {

using testing::Row;

std::vector<AttemptRow> ThreeProgrammers() {
  AttemptRow failed = Row("VIRTUAL2", "2026-12-10T10:00:02.000Z");
  failed.outcome = "report failure";
  failed.failedParts = "main";
  failed.cause = "main read-back chunk 2: read-back differs at offset 12288";
  failed.versionAfter = "2.08";
  AttemptRow okLater = Row("VIRTUAL1", "2026-12-10T10:00:03.000Z");
  okLater.versionAfter = "2.08";
  AttemptRow errorEarlier = Row("VIRTUAL1", "2026-12-10T10:00:01.000Z");
  errorEarlier.outcome = "error";
  errorEarlier.cause = "the programmer stopped answering";
  AttemptRow status = Row("1-3", "2026-12-10T10:00:00.000Z");
  status.kind = "status";
  status.versionBefore = "2.05";
  return {okLater, failed, errorEarlier, status};  // newest first
}

TEST(HistoryFormat, SummaryHasOneLinePerProgrammer) {
  EXPECT_EQ(FormatSummary(ThreeProgrammers()),
            "DEVICE    VERSION  LAST UPGRADE              OUTCOME\n"
            "1-3       2.05     -                         status checks only\n"
            "VIRTUAL1  2.08     2026-12-10T10:00:03.000Z  ok\n"
            "VIRTUAL2  2.08     2026-12-10T10:00:02.000Z  report failure: main\n");
}

TEST(HistoryFormat, TableNewestFirstWithDetails) {
  EXPECT_EQ(
      FormatTable(ThreeProgrammers()),
      "TIME (UTC)                DEVICE    PROGRAM             KIND     BEFORE  CARRIED  AFTER  "
      "OUTCOME         SOCKETS  SECONDS  DETAIL\n"
      "2026-12-10T10:00:03.000Z  VIRTUAL1  torv2-upgrader-cli  upgrade  2.07    2.08     2.08   "
      "ok              -        0.7\n"
      "2026-12-10T10:00:02.000Z  VIRTUAL2  torv2-upgrader-cli  upgrade  2.07    2.08     2.08   "
      "report failure  -        0.7      main; main read-back chunk 2: read-back differs at "
      "offset 12288\n"
      "2026-12-10T10:00:01.000Z  VIRTUAL1  torv2-upgrader-cli  upgrade  2.07    2.08     -      "
      "error           -        0.7      the programmer stopped answering\n"
      "2026-12-10T10:00:00.000Z  1-3       torv2-upgrader-cli  status   2.05    2.08     -      "
      "ok              -        0.7\n");
}

// A serial number is the device's text: no terminal escapes, no spreadsheet formulas, no broken
// JSON.
TEST(HistoryFormat, DeviceTextIsDefused) {
  AttemptRow row = Row("=HYPERLINK(\"x\",\"y\")", "2026-12-10T10:00:00.000Z");
  EXPECT_NE(FormatCsv({&row, 1}).find(",\"'=HYPERLINK(\"\"x\"\",\"\"y\"\")\","), std::string::npos)
      << FormatCsv({&row, 1});
  row.device = "A\x1b[2JB";
  EXPECT_NE(FormatTable({&row, 1}).find("A?[2JB"), std::string::npos);
  EXPECT_NE(FormatSummary({&row, 1}).find("A?[2JB"), std::string::npos);
  row.device = "bad\xff";
  EXPECT_NE(FormatJson({&row, 1}).find("\"device\": \"bad\xef\xbf\xbd\""), std::string::npos)
      << FormatJson({&row, 1});
}

TEST(HistoryFormat, CsvAndJsonCarryEveryColumn) {
  AttemptRow row = Row("VIRTUAL1", "2026-12-10T10:00:00.000Z");
  row.failedParts = "main, sockets 3";
  row.cause = "sub block 1: refused (\"Error\") (transfer: ok)";
  EXPECT_EQ(
      FormatCsv({&row, 1}),
      "time_utc,program,kind,device,bus_address,version_before,version_carried,outcome,"
      "failed_parts,cause,sockets,version_after,duration_ms\r\n"
      "2026-12-10T10:00:00.000Z,torv2-upgrader-cli,upgrade,VIRTUAL1,,2.07,2.08,ok,"
      "\"main, sockets 3\",\"sub block 1: refused (\"\"Error\"\") (transfer: ok)\",,,650\r\n");
  EXPECT_EQ(FormatJson({&row, 1}),
            "[\n"
            "  {\n"
            "    \"bus_address\": null,\n"
            "    \"cause\": \"sub block 1: refused (\\\"Error\\\") (transfer: ok)\",\n"
            "    \"device\": \"VIRTUAL1\",\n"
            "    \"duration_ms\": 650,\n"
            "    \"failed_parts\": \"main, sockets 3\",\n"
            "    \"kind\": \"upgrade\",\n"
            "    \"outcome\": \"ok\",\n"
            "    \"program\": \"torv2-upgrader-cli\",\n"
            "    \"sockets\": null,\n"
            "    \"time_utc\": \"2026-12-10T10:00:00.000Z\",\n"
            "    \"version_after\": null,\n"
            "    \"version_before\": \"2.07\",\n"
            "    \"version_carried\": \"2.08\"\n"
            "  }\n"
            "]\n");
  row.cause.clear();
  EXPECT_NE(FormatJson({&row, 1}).find("\"cause\": null,"), std::string::npos);
  EXPECT_EQ(FormatJson({}), "[]\n");
}

}  // namespace
}  // namespace torv2::history
