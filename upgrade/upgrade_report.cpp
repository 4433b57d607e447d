#include "upgrade/upgrade_report.h"

#include <string_view>

#include "link/failure.h"

namespace torv2::upgrade {
namespace {

constexpr std::string_view kMainOk = "Torv2 Main Execute - Upgrade OK";
constexpr std::string_view kMainFail = "Torv2 Main Execute - Upgrade Fail";
constexpr std::string_view kSubOk = "Torv2 Sub Execute - Upgrade OK";
constexpr std::string_view kSubFail = "Torv2 Sub Execute - Upgrade Fail";

constexpr std::string_view kTop = "┌─────────┬─────────┬─────────┬─────────┐\n│";
constexpr std::string_view kMiddle = "\n├─────────┼─────────┼─────────┼─────────┤\n│";
// Six ideographic spaces follow the corner.
constexpr std::string_view kBottom = "\n└─────────┴─────────┴─────────┴─────────┘　　　　　　\n";
constexpr std::string_view kAllSocketsFailed = "\n             All Sub Socket Error!\n";

constexpr std::array<std::string_view, kSubSocketCount> kSocketLabels = {"１", "２", "３", "４",
                                                                         "５", "６", "７", "８"};

// Nine double-width characters and a vertical line; the OK cell is padded with an ideographic
// space to the width of the BAD cell.
void AppendCell(std::string& table, std::size_t socket, bool upgraded) {
  table += "ＳＵＢ";
  table += kSocketLabels[socket];
  table += upgraded ? "（ＯＫ）　│" : "（ＢＡＤ）│";
}

}  // namespace

void ComposeUpgradeReport(UpgradeReport& report, bool mainOk, bool subOk,
                          const std::optional<SubSocketStatus>& socketStatus, bool subSocketError) {
  report.mainResult = mainOk ? kMainOk : kMainFail;
  if (subSocketError) {
    report.subResult.clear();
    report.socketTable = kAllSocketsFailed;
    return;
  }
  report.subResult = subOk ? kSubOk : kSubFail;

  std::string& table = report.socketTable;
  table.assign(kTop);
  for (std::size_t socket = 0; socket < kSubSocketCount; ++socket) {
    if (socket == kSubSocketCount / 2) table += kMiddle;
    AppendCell(table, socket, socketStatus && (*socketStatus)[socket] == link::kSocketUpgraded);
  }
  table += kBottom;
}

std::string DescribeSockets(const SubSocketStatus& sockets) {
  std::string notUpgraded;
  std::size_t upgraded = 0;
  for (std::size_t socket = 0; socket < kSubSocketCount; ++socket) {
    if (sockets[socket] == link::kSocketUpgraded) {
      ++upgraded;
      continue;
    }
    notUpgraded += notUpgraded.empty() ? "; not " : ", ";
    notUpgraded += "socket " + std::to_string(socket + 1) + " (" +
                   link::QuoteDeviceBytes(std::span(sockets).subspan(socket, 1)) + ")";
  }
  return "sockets: " + std::to_string(upgraded) + " upgraded" + notUpgraded;
}

}  // namespace torv2::upgrade
