#pragma once
// What the command line takes from its environment, checked before any programmer is opened.
//
// TORV2_TRANSFER_TIMEOUT_MS: how long each bulk transfer may take, in milliseconds (1 to 600000;
// 6000 when unset). Shorter for tests against a device that stays silent, longer for a slow
// device or bus.

#include <string>

#include "link/usb_link.h"

namespace torv2::cli {

inline constexpr char kTransferTimeoutVariable[] = "TORV2_TRANSFER_TIMEOUT_MS";
inline constexpr long kLongestTransferTimeoutMs = 600'000;

// The link's time-outs with the environment's say; empty `error` when every variable set holds a
// value that can be used, else what is wrong with it.
link::LinkTimeouts LinkTimeoutsFromEnvironment(std::string& error);

}  // namespace torv2::cli
