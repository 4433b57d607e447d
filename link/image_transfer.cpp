#include "link/image_transfer.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "link/packet.h"

namespace torv2::link {
namespace {

constexpr std::uint8_t kAck = '+';
constexpr std::uint8_t kNak = '-';
constexpr std::size_t kChunkAckLength = 10;

void PutLe32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

int Percent(std::uint64_t done, std::uint64_t size) {
  return static_cast<int>(done * 100 / size);  // size is never 0 here: nothing moves for it
}

bool SendByte(UsbLink& link, std::uint8_t b) {
  if (link.LinkWrite(std::span(&b, 1)) == 0) return false;
  link.Trace(Direction::ToDevice, "ack", std::span(&b, 1));
  return true;
}

bool IsText(std::span<const std::uint8_t> payload, std::string_view text) {
  return payload.size() == text.size() &&
         std::memcmp(payload.data(), text.data(), text.size()) == 0;
}

// The failure the link noted, placed at chunk or block `number`; always false.
bool FailedAt(UsbLink& link, std::size_t number) {
  link.failure().number = static_cast<int>(number);
  return false;
}

// The device answered, but not what the exchange carries.
bool Answered(UsbLink& link, Happened what, std::span<const std::uint8_t> answer,
              std::size_t wanted, std::size_t number = 0) {
  ExchangeFailure& f = link.failure();
  f = {};
  f.what = what;
  f.KeepAnswer(answer);
  f.wanted = wanted;
  f.number = static_cast<int>(number);
  return false;
}

// What a chunk acknowledgement other than '+', eight bytes, '+' is: junk when it does not even
// begin like one, short when it stops early, else a refusal.
Happened ChunkAckFault(std::span<const std::uint8_t> ack) {
  if (ack.empty() || ack[0] != '+') return Happened::Junk;
  if (ack.size() < 10) return Happened::ShortAnswer;
  return Happened::Refused;
}

// A packet of the wrong length.
Happened LengthFault(std::size_t got, std::size_t wanted) {
  return got < wanted ? Happened::ShortAnswer : Happened::TooLong;
}

bool Announce(TransferContext& t, std::uint32_t size) {
  std::uint8_t record[8];
  PutLe32(record, kSizeRecordWord);
  PutLe32(record + 4, size);
  if (t.link.LinkWrite(record) == 0) return false;
  t.link.Trace(Direction::ToDevice, "size record", record);

  std::array<std::uint8_t, kReplyBufferSize> reply;
  const int n = ReceiveReplyPacket(t.link, reply);
  if (n == 0) return false;
  // Only the whole word, in capitals, is a yes: "OK " and "ok" are refusals.
  const auto payload = std::span(reply).first(static_cast<std::size_t>(n));
  if (IsText(payload, "OK")) return true;
  t.subSocketError = true;
  return Answered(t.link, Happened::Refused, payload, 2);
}

bool Download(TransferContext& t, std::span<const std::uint8_t> data, std::uint32_t chunk) {
  const std::size_t size = data.size();
  std::size_t offset = 0;
  std::size_t number = 0;  // of the chunk, from 1
  do {
    const std::size_t n = std::min<std::size_t>(chunk, size - offset);
    ++number;
    if (t.link.LinkWrite(data.subspan(offset, n)) == 0) {
      t.progress.SetPercent(0);
      return FailedAt(t.link, number);
    }
    t.link.Trace(Direction::ToDevice, "chunk", data.subspan(offset, n));
    std::uint8_t ack[kChunkAckLength] = {};
    const std::uint32_t got = t.link.LinkRead(ack);
    if (got == 0) {
      t.progress.SetPercent(0);
      return FailedAt(t.link, number);
    }
    t.link.Trace(Direction::FromDevice, "chunk ack", std::span(ack, got));
    if (got < kChunkAckLength || ack[0] != kAck || ack[9] != kAck) {
      t.progress.SetPercent(0);
      t.subSocketError = true;
      const auto answer = std::span(ack, got);
      return Answered(t.link, ChunkAckFault(answer), answer, kChunkAckLength, number);
    }
    offset += n;
    t.progress.SetPercent(Percent(offset, size));
  } while (offset < size);
  t.progress.SetPercent(100);
  return true;
}

bool ReadBack(TransferContext& t, std::span<std::uint8_t> dest) {
  const std::size_t size = dest.size();
  // Every read asks for a whole chunk, also when part of it has arrived, so one chunk can bring
  // up to twice its length less one byte; it lands here before the good bytes go to `dest`.
  std::array<std::uint8_t, 2 * kMainChunk> staging;
  std::size_t offset = 0;
  do {
    const std::size_t c = std::min<std::size_t>(kMainChunk, size - offset);
    const std::size_t number = offset / kMainChunk + 1;
    std::size_t got = 0;
    do {
      const std::uint32_t n = t.link.LinkRead(std::span(staging).subspan(got, c));
      if (n == 0) {
        t.progress.SetPercent(0);
        return FailedAt(t.link, number);
      }
      got += n;
    } while (got < c);
    t.link.Trace(Direction::FromDevice, "data", std::span(staging).first(got));
    if (got > c) {
      if (!SendByte(t.link, kNak)) {
        t.progress.SetPercent(0);
        return FailedAt(t.link, number);
      }
      ExchangeFailure& f = t.link.failure();
      f = {};
      f.what = Happened::TooLong;
      f.got = got;
      f.wanted = c;
      f.number = static_cast<int>(number);
      return false;
    }
    std::memcpy(dest.data() + offset, staging.data(), c);
    if (!SendByte(t.link, kAck)) {
      t.progress.SetPercent(0);
      return FailedAt(t.link, number);
    }
    offset += c;
    t.progress.SetPercent(Percent(offset, size));
  } while (offset < size);
  t.progress.SetPercent(100);
  return true;
}

bool ReadBackSub(TransferContext& t, SubSocketStatus& status, std::span<std::uint8_t> dest) {
  const std::size_t size = dest.size();
  // Each packet lands in a receive buffer of its own; only a block of the right length is
  // copied into `dest`.
  std::array<std::uint8_t, kEscapedReplyBufferSize> packet;
  std::size_t offset = 0;
  do {
    const std::uint32_t b =
        static_cast<std::uint32_t>(std::min<std::size_t>(kSubBlock, size - offset));
    const std::size_t number = offset / kSubBlock + 1;
    std::uint8_t request[4];
    PutLe32(request, b);
    if (t.link.LinkWrite(request) == 0) {
      t.progress.SetPercent(0);
      return FailedAt(t.link, number);
    }
    t.link.Trace(Direction::ToDevice, "block request", request);
    const int statusLength = ReceiveEscapedReplyPacket(t.link, packet);
    if (statusLength == 0) return FailedAt(t.link, number);
    const auto blockStatus = std::span(packet).first(static_cast<std::size_t>(statusLength));
    if (!IsText(blockStatus, "OK")) {
      t.subSocketError = true;
      return Answered(t.link, Happened::Refused, blockStatus, 2, number);
    }
    const int dataLength = ReceiveEscapedReplyPacket(t.link, packet);
    if (dataLength == 0) return FailedAt(t.link, number);
    if (static_cast<std::uint32_t>(dataLength) != b) {
      const auto block = std::span(packet).first(static_cast<std::size_t>(dataLength));
      return Answered(t.link, LengthFault(block.size(), b), block, b, number);
    }
    std::memcpy(dest.data() + offset, packet.data(), b);
    if (!SendByte(t.link, kAck)) {
      t.progress.SetPercent(0);
      return FailedAt(t.link, number);
    }
    offset += b;
    t.progress.SetPercent(Percent(offset, size));
  } while (offset < size);

  const int statusLength = ReceiveEscapedReplyPacket(t.link, packet);
  if (statusLength == 0) return false;
  if (statusLength != static_cast<int>(status.size())) {
    const auto got = std::span(packet).first(static_cast<std::size_t>(statusLength));
    return Answered(t.link, LengthFault(got.size(), status.size()), got, status.size());
  }
  std::memcpy(status.data(), packet.data(), status.size());
  t.progress.SetPercent(100);
  return true;
}

// A transfer that failed, for whatever reason, may leave bytes behind: the next command drains
// them first.
bool Marked(TransferContext& t, bool result) {
  if (!result) t.link.MarkUnsettled();
  return result;
}

}  // namespace

bool AnnounceImageSize(TransferContext& t, std::uint32_t size) {
  return Marked(t, Announce(t, size));
}

bool DownloadImage(TransferContext& t, std::span<const std::uint8_t> data, std::uint32_t chunk) {
  return Marked(t, Download(t, data, chunk));
}

bool ReadBackImage(TransferContext& t, std::span<std::uint8_t> dest) {
  return Marked(t, ReadBack(t, dest));
}

bool ReadBackSubImage(TransferContext& t, SubSocketStatus& status, std::span<std::uint8_t> dest) {
  return Marked(t, ReadBackSub(t, status, dest));
}

}  // namespace torv2::link
