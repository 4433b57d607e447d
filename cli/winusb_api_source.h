#pragma once
// Where the command line's Windows transport gets its Win32 calls: the system's in the shipped
// program (winusb_system_api.cpp), a simulated Windows in the test program.

#include "link/winusb/winusb_api.h"

namespace torv2::cli {

const link::winusb::WinUsbApi& CliWinUsbApi();

}  // namespace torv2::cli
