#include "emulator/usbip/usbip_session.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <variant>

#include "emulator/usb/control_requests.h"

namespace torv2::emulator::usbip {
namespace {

// The endpoint numbers of the device's bulk pipes, without the direction bit.
constexpr std::uint8_t kBulkEndpointNumber = usb::kBulkOutEndpoint & 0x0F;
static_assert((usb::kBulkInEndpoint & 0x0F) == kBulkEndpointNumber);

// Bytes consumed from the front of the input are dropped once they are this many, so the
// buffer does not grow over a long run.
constexpr std::size_t kCompactAfter = 64 * 1024;

}  // namespace

UsbipSession::UsbipSession(VirtualProgrammer& programmer, const usb::Descriptors& descriptors)
    : programmer_(programmer), descriptors_(descriptors) {}

bool UsbipSession::Feed(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out) {
  if (!error_.empty()) return false;
  input_.insert(input_.end(), bytes.begin(), bytes.end());
  while (error_.empty() && TakeMessage(out)) {
  }
  if (inputHead_ >= kCompactAfter || inputHead_ == input_.size()) {
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(inputHead_));
    inputHead_ = 0;
  }
  return error_.empty();
}

bool UsbipSession::TakeMessage(std::vector<std::uint8_t>& out) {
  const std::span<const std::uint8_t> available(input_.data() + inputHead_,
                                                input_.size() - inputHead_);
  if (available.size() < kHeaderSize) return false;
  const Header header = ParseHeader(available);
  if (const auto* error = std::get_if<HeaderError>(&header)) {
    error_ = std::string(HeaderErrorText(*error));
    return false;
  }
  if (const auto* unlink = std::get_if<Unlink>(&header)) {
    inputHead_ += kHeaderSize;
    AnswerUnlink(*unlink, out);
    return true;
  }
  const Submit& submit = std::get<Submit>(header);
  const std::size_t dataLength = submit.outDataLength();
  if (available.size() - kHeaderSize < dataLength) return false;  // its data is still coming
  inputHead_ += kHeaderSize + dataLength;
  Answer(submit, available.subspan(kHeaderSize, dataLength), out);
  return true;
}

void UsbipSession::Reply(std::uint32_t seqnum, std::int32_t status, std::uint32_t actualLength,
                         std::span<const std::uint8_t> inData, std::vector<std::uint8_t>& out) {
  const auto header = RetSubmitHeader(seqnum, status, actualLength);
  out.insert(out.end(), header.begin(), header.end());
  out.insert(out.end(), inData.begin(), inData.end());
}

void UsbipSession::Answer(const Submit& submit, std::span<const std::uint8_t> outData,
                          std::vector<std::uint8_t>& out) {
  ++submits_;
  if (submit.endpoint == 0) {
    AnswerControl(submit, outData, out);
    return;
  }
  if (submit.endpoint != kBulkEndpointNumber) {
    Reply(submit.seqnum, -EPIPE, 0, {}, out);  // no such endpoint: it stalls
    return;
  }
  if (submit.in) {
    waitingReads_.push_back({submit.seqnum, submit.length});
    ServeWaitingReads(out);
    return;
  }
  programmer_.OnOutTransfer(outData);
  Reply(submit.seqnum, 0, static_cast<std::uint32_t>(outData.size()), {}, out);
  ServeWaitingReads(out);
}

void UsbipSession::AnswerControl(const Submit& submit, std::span<const std::uint8_t> outData,
                                 std::vector<std::uint8_t>& out) {
  const std::optional<usb::SetupPacket> setup = usb::ParseSetupPacket(submit.setup);
  // The data stage's direction and size are the setup packet's; a request that disagrees
  // with its own transfer is refused as a device refuses it, with a stall.
  if (!setup || setup->deviceToHost() != submit.in || setup->length > submit.length) {
    Reply(submit.seqnum, -EPIPE, 0, {}, out);
    return;
  }
  const usb::ControlAnswer answer = usb::AnswerControlRequest(descriptors_, *setup);
  if (answer.stall) {
    Reply(submit.seqnum, -EPIPE, 0, {}, out);
    return;
  }
  // SET_CONFIGURATION, the last step of the kernel's enumeration.
  if (setup->requestType == 0x00 && setup->request == 0x09) configured_ = setup->value != 0;
  if (submit.in) {
    const std::size_t n = std::min<std::size_t>(answer.data.size(), setup->length);
    const std::span<const std::uint8_t> data(answer.data.data(), n);
    Reply(submit.seqnum, 0, static_cast<std::uint32_t>(n), data, out);
  } else {
    Reply(submit.seqnum, 0, static_cast<std::uint32_t>(outData.size()), {}, out);
  }
}

void UsbipSession::ServeWaitingReads(std::vector<std::uint8_t>& out) {
  for (auto it = waitingReads_.begin(); it != waitingReads_.end();) {
    if (it->capacity == 0) {  // a zero-length read waits for a zero-length packet; skip it
      ++it;
      continue;
    }
    auto transfer = programmer_.TakeInTransfer(it->capacity);
    if (!transfer) break;
    const std::uint32_t seqnum = it->seqnum;
    const std::size_t n = std::min<std::size_t>(transfer->data.size(), it->capacity);
    it = waitingReads_.erase(it);
    Reply(seqnum, transfer->overflow ? -EOVERFLOW : 0, static_cast<std::uint32_t>(n),
          std::span<const std::uint8_t>(transfer->data.data(), n), out);
  }
}

void UsbipSession::AnswerUnlink(const Unlink& unlink, std::vector<std::uint8_t>& out) {
  ++unlinks_;
  const auto it = std::find_if(waitingReads_.begin(), waitingReads_.end(),
                               [&](const WaitingRead& r) { return r.seqnum == unlink.victim; });
  std::int32_t status = 0;  // already answered
  if (it != waitingReads_.end()) {
    waitingReads_.erase(it);
    status = -ECONNRESET;
  }
  const auto header = RetUnlinkHeader(unlink.seqnum, status);
  out.insert(out.end(), header.begin(), header.end());
}

}  // namespace torv2::emulator::usbip
