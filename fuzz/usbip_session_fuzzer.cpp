// The USB/IP face's reading of what vhci_hcd sends: headers with lengths, directions and
// endpoints from the other side of a socket, OUT data after them, unlinks, in any pieces. The
// input's first byte chooses how the rest is cut into pieces; the rest is the stream.
//
// Holds, besides memory safety: the session never holds more than one header and the largest
// transfer a header may announce; a rejected header is what ParseHeader says it is; and the
// device's replies are the same however the stream is cut (fed whole to a second device).
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "emulator/usb/usb_descriptors.h"
#include "emulator/usbip/usbip_protocol.h"
#include "emulator/usbip/usbip_session.h"
#include "emulator/virtual_programmer.h"
#include "fuzz/support/fuzz_input.h"

using namespace torv2::emulator;
using namespace torv2::emulator::usbip;

namespace {

const usb::Descriptors& Descriptors() {
  static const usb::Descriptors descriptors = usb::BuildDescriptors({.serial = "FUZZ"});
  return descriptors;
}

DeviceSettings Settings() {
  DeviceSettings settings;
  settings.recordHostBytes = false;
  return settings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  torv2::fuzz::FuzzInput input({data, size});
  const std::size_t piece = 1 + input.Byte() % 97;
  const std::span<const std::uint8_t> stream = input.Rest();

  VirtualProgrammer cutDevice(Settings());
  UsbipSession cut(cutDevice, Descriptors());
  std::vector<std::uint8_t> cutReplies;
  bool good = true;
  for (std::size_t at = 0; at < stream.size() && good; at += piece) {
    good = cut.Feed(stream.subspan(at, std::min(piece, stream.size() - at)), cutReplies);
    FUZZ_CHECK(cut.buffered() <= kHeaderSize + kMaxTransferLength);
  }

  VirtualProgrammer wholeDevice(Settings());
  UsbipSession whole(wholeDevice, Descriptors());
  std::vector<std::uint8_t> wholeReplies;
  FUZZ_CHECK(whole.Feed(stream, wholeReplies) == good);
  FUZZ_CHECK(wholeReplies == cutReplies);
  FUZZ_CHECK(whole.error() == cut.error());

  // Every header on its own: a refusal is stable and names a reason.
  const Header header = ParseHeader(stream);
  if (const auto* error = std::get_if<HeaderError>(&header)) {
    FUZZ_CHECK(!HeaderErrorText(*error).empty());
    FUZZ_CHECK((*error == HeaderError::Short) == (stream.size() < kHeaderSize));
  } else if (const auto* submit = std::get_if<Submit>(&header)) {
    FUZZ_CHECK(submit->endpoint <= 15);
    FUZZ_CHECK(submit->length <= kMaxTransferLength);
    FUZZ_CHECK(submit->outDataLength() <= submit->length);
  }
  return 0;
}
