#include "cli/winusb_api_source.h"

namespace torv2::cli {

const link::winusb::WinUsbApi& CliWinUsbApi() {
  return link::winusb::SystemWinUsbApi();
}

}  // namespace torv2::cli
