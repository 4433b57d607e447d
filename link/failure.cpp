#include "link/failure.h"

#include <algorithm>
#include <cstdio>

#include "link/programmer_name.h"
namespace torv2::link {

void ExchangeFailure::KeepAnswer(std::span<const std::uint8_t> bytes) {
  answer.assign(bytes.begin(), bytes.begin() + std::min(bytes.size(), kAnswerKept));
  got = bytes.size();
}

ExchangeFailure TransferFailure(TransferStatus status, std::chrono::milliseconds timeout) {
  ExchangeFailure f;
  f.transfer = status;
  switch (status) {
    case TransferStatus::Ok:
      f.what = Happened::Empty;
      break;
    case TransferStatus::TimedOut:
      f.what = Happened::TimedOut;
      f.timeout = timeout;
      break;
    case TransferStatus::Cancelled:
      f.what = Happened::Cancelled;
      break;
    case TransferStatus::NoDevice:
      f.what = Happened::DeviceGone;
      break;
    case TransferStatus::Overflow:
      f.what = Happened::Overflow;
      break;
    case TransferStatus::Error:
      f.what = Happened::TransferError;
      break;
  }
  return f;
}

std::string QuoteDeviceBytes(std::span<const std::uint8_t> bytes, bool more) {
  std::string out = "\"";
  for (const std::uint8_t b : bytes.first(std::min(bytes.size(), ExchangeFailure::kAnswerKept))) {
    if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
      out += static_cast<char>(b);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", unsigned{b});
      out += hex;
    }
  }
  out += '"';
  if (more || bytes.size() > ExchangeFailure::kAnswerKept) out += "...";
  return out;
}

std::string_view HappenedKey(Happened what) {
  switch (what) {
    case Happened::None:
      return "none";
    case Happened::TimedOut:
      return "time-out";
    case Happened::DeviceGone:
      return "device-gone";
    case Happened::Cancelled:
      return "cancelled";
    case Happened::TransferError:
      return "transfer-error";
    case Happened::Overflow:
      return "overflow";
    case Happened::NotOpen:
      return "not-open";
    case Happened::Empty:
      return "empty";
    case Happened::Junk:
      return "junk";
    case Happened::BadChecksum:
      return "bad-checksum";
    case Happened::Refused:
      return "refused";
    case Happened::ShortAnswer:
      return "short-answer";
    case Happened::TooLong:
      return "too-long";
    case Happened::ReadBackDiffers:
      return "read-back-differs";
    case Happened::NotFound:
      return "not-found";
    case Happened::AccessDenied:
      return "access-denied";
    case Happened::Busy:
      return "busy";
    case Happened::NoPipes:
      return "no-pipes";
  }
  return "none";
}

std::string_view TransferStatusName(TransferStatus status) {
  switch (status) {
    case TransferStatus::Ok:
      return "ok";
    case TransferStatus::TimedOut:
      return "timed out";
    case TransferStatus::Cancelled:
      return "cancelled";
    case TransferStatus::NoDevice:
      return "no device";
    case TransferStatus::Overflow:
      return "overflow";
    case TransferStatus::Error:
      return "error";
  }
  return "error";
}

std::string_view OpenStatusName(OpenStatus status) {
  switch (status) {
    case OpenStatus::Opened:
      return "opened";
    case OpenStatus::NotFound:
      return "not found";
    case OpenStatus::AccessDenied:
      return "no permission";
    case OpenStatus::Busy:
      return "busy";
    case OpenStatus::NoDevice:
      return "device gone";
    case OpenStatus::Error:
      return "cannot be opened";
  }
  return "cannot be opened";
}

namespace {

std::string Count(std::size_t got, std::size_t wanted) {
  return "(" + std::to_string(got) + " of " + std::to_string(wanted) + " bytes)";
}

std::string Answer(const ExchangeFailure& f) {
  if (f.answer.empty()) return {};
  return " (" + QuoteDeviceBytes(f.answer, f.got > f.answer.size()) + ")";
}

std::string Unchecked(const std::vector<UncheckedDevice>& devices) {
  if (devices.empty()) return {};
  std::string out = "; " + std::to_string(devices.size()) + " USB device" +
                    (devices.size() == 1 ? "" : "s") + " could not be checked (";
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (i) out += ", ";
    out += DevicePlace(devices[i]) + ": ";
    out += OpenStatusName(devices[i].why);
  }
  return out + ")";
}

}  // namespace

std::string DescribeHappened(const ExchangeFailure& f) {
  std::string before;
  if (f.before == Happened::Junk) before = "junk, then ";
  if (f.before == Happened::BadChecksum) before = "a bad checksum, then ";
  switch (f.what) {
    case Happened::None:
      return "no failure noted";
    case Happened::TimedOut:
      return before + "time-out after " + std::to_string(f.timeout.count()) + " ms";
    case Happened::DeviceGone:
      return before + "device gone";
    case Happened::Cancelled:
      return "cancelled";
    case Happened::TransferError:
      return before + "the USB transfer failed";
    case Happened::Overflow:
      return before + "the device sent more than the transfer holds";
    case Happened::NotOpen:
      return "the link is not open";
    case Happened::Empty:
      return before + "empty answer";
    case Happened::Junk:
      return "junk" + Answer(f);
    case Happened::BadChecksum:
      return "bad checksum";
    case Happened::Refused:
      return "refused" + Answer(f);
    case Happened::ShortAnswer:
      return "short answer " + Count(f.got, f.wanted);
    case Happened::TooLong:
      return "too long " + Count(f.got, f.wanted);
    case Happened::ReadBackDiffers:
      return "read-back differs at offset " + std::to_string(f.offset);
    case Happened::NotFound:
      return "no programmer found" + Unchecked(f.unchecked);
    case Happened::AccessDenied:
      return "access denied" + Unchecked(f.unchecked);
    case Happened::Busy:
      return "device busy (in use by another program)";
    case Happened::NoPipes:
      return "the interface lacks a bulk IN or a bulk OUT pipe";
  }
  return "no failure noted";
}

std::string DevicePlace(const UncheckedDevice& device) {
  const std::string port = PortName(device.bus, device.portPath);
  return "bus " + std::to_string(device.bus) + (port.empty() ? "" : " port " + port);
}

}  // namespace torv2::link
