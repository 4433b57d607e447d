#pragma once
// The result report shown at the end of a completed upgrade: a line for the main image, a line for
// the sub image, a box-drawn table of the eight sub sockets and the two version lines. UTF-8 text;
// the table is meant for a font in which every character but the line break has one common width.

#include <optional>
#include <span>
#include <string>
#include <tuple>

#include "link/image_transfer.h"  // SubSocketStatus: one character per sub socket

namespace torv2::upgrade {

using link::SubSocketStatus;
inline constexpr std::size_t kSubSocketCount = std::tuple_size_v<SubSocketStatus>;

struct UpgradeReport {
  std::string mainResult;
  std::string subResult;
  std::string socketTable;
  std::string upgradeVersion;  // "Upgrade Version : 2.08", set at start-up
  std::string currentVersion;  // "Current Version : 2.08", set by each device version query
};

// Writes the main line, the sub line and the socket table. `socketStatus` is empty when the job
// skipped its sub stage: no status arrived, so every socket counts as not upgraded. With
// `subSocketError` set the device refused the sub transfer: the sub line is empty and the table is
// replaced by the all-sockets-error text. The version lines are left alone.
void ComposeUpgradeReport(UpgradeReport& report, bool mainOk, bool subOk,
                          const std::optional<SubSocketStatus>& socketStatus, bool subSocketError);

// The socket states in words: "sockets: 8 upgraded"; "sockets: 6 upgraded; not socket 3 ("X"),
// socket 5 ("-")", each state as the device sent it.
std::string DescribeSockets(const SubSocketStatus& sockets);

}  // namespace torv2::upgrade
