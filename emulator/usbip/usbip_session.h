#pragma once
// One plug-in of a virtual programmer behind vhci_hcd: the device's side of the USB/IP
// conversation, from the kernel's bytes to the device's replies, with no socket and no clock
// (UsbipLink moves the bytes). Control transfers are answered from the device's descriptors
// (control_requests.h); bulk OUT 0x01 goes to VirtualProgrammer::OnOutTransfer; a bulk IN 0x81
// request is answered from VirtualProgrammer::TakeInTransfer and waits, as a device NAKs, while
// the model has nothing to send, until a later OUT gives it data or the host unlinks it.
//
// A URB unlinked before it completed gets RET_UNLINK with -ECONNRESET and never a RET_SUBMIT
// (vhci takes a reply to an unknown seqnum as a broken link and drops the device); one that had
// already completed gets RET_UNLINK with status 0.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "emulator/usb/usb_descriptors.h"
#include "emulator/usbip/usbip_protocol.h"
#include "emulator/virtual_programmer.h"

namespace torv2::emulator::usbip {

class UsbipSession {
 public:
  // Both must outlive the session.
  UsbipSession(VirtualProgrammer& programmer, const usb::Descriptors& descriptors);

  // Takes bytes the kernel sent, in any pieces; appends the device's replies to `out`. Returns
  // false once the kernel sent something no device server can take (error() says what): the
  // connection must be dropped, and the session takes nothing more.
  bool Feed(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out);
  // Answers waiting bulk IN requests from what the model has now (after a knob changed it).
  void ServeWaitingReads(std::vector<std::uint8_t>& out);

  const std::string& error() const { return error_; }
  // The host has chosen the device's configuration: enumeration is over.
  bool configured() const { return configured_; }
  std::size_t submits() const { return submits_; }
  std::size_t unlinks() const { return unlinks_; }
  std::size_t waitingReads() const { return waitingReads_.size(); }
  // Bytes held of a message not yet complete.
  std::size_t buffered() const { return input_.size() - inputHead_; }

 private:
  struct WaitingRead {
    std::uint32_t seqnum = 0;
    std::uint32_t capacity = 0;
  };

  // Consumes one whole message from the front of the input; false when it is incomplete.
  bool TakeMessage(std::vector<std::uint8_t>& out);
  void Answer(const Submit& submit, std::span<const std::uint8_t> outData,
              std::vector<std::uint8_t>& out);
  void AnswerControl(const Submit& submit, std::span<const std::uint8_t> outData,
                     std::vector<std::uint8_t>& out);
  void AnswerUnlink(const Unlink& unlink, std::vector<std::uint8_t>& out);
  static void Reply(std::uint32_t seqnum, std::int32_t status, std::uint32_t actualLength,
                    std::span<const std::uint8_t> inData, std::vector<std::uint8_t>& out);

  VirtualProgrammer& programmer_;
  const usb::Descriptors& descriptors_;
  std::vector<std::uint8_t> input_;
  std::size_t inputHead_ = 0;
  std::deque<WaitingRead> waitingReads_;  // bulk IN requests, oldest first
  std::string error_;
  bool configured_ = false;
  std::size_t submits_ = 0;
  std::size_t unlinks_ = 0;
};

}  // namespace torv2::emulator::usbip
