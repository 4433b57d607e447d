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

int Announce(TransferContext& t, std::uint32_t size) {
  std::uint8_t record[8];
  PutLe32(record, kSizeRecordWord);
  PutLe32(record + 4, size);
  if (t.link.LinkWrite(record) == 0) return 0;
  t.link.Trace(Direction::ToDevice, "size record", record);

  std::array<std::uint8_t, kReplyBufferSize> reply;
  const int n = ReceiveReplyPacket(t.link, reply);
  if (n == 0) return 0;
  // Only the whole word, in capitals, is a yes: "OK " and "ok" are refusals.
  if (IsText(std::span(reply).first(static_cast<std::size_t>(n)), "OK")) return 1;
  t.subSocketError = 1;
  return 0;
}

int Download(TransferContext& t, std::span<const std::uint8_t> data, std::uint32_t chunk) {
  const std::size_t size = data.size();
  std::size_t offset = 0;
  do {
    const std::size_t n = std::min<std::size_t>(chunk, size - offset);
    if (t.link.LinkWrite(data.subspan(offset, n)) == 0) {
      t.progress.SetPos(0);
      return 0;
    }
    t.link.Trace(Direction::ToDevice, "chunk", data.subspan(offset, n));
    std::uint8_t ack[kChunkAckLength] = {};
    const std::uint32_t got = t.link.LinkRead(ack);
    if (got == 0) {
      t.progress.SetPos(0);
      return 0;
    }
    t.link.Trace(Direction::FromDevice, "chunk ack", std::span(ack, got));
    if (got < kChunkAckLength || ack[0] != kAck || ack[9] != kAck) {
      t.progress.SetPos(0);
      t.subSocketError = 1;
      return 0;
    }
    offset += n;
    t.progress.SetPos(Percent(offset, size));
  } while (offset < size);
  t.progress.SetPos(100);
  return 1;
}

int ReadBack(TransferContext& t, std::span<std::uint8_t> dest) {
  const std::size_t size = dest.size();
  // Every read asks for a whole chunk, also when part of it has arrived, so one chunk can bring
  // up to twice its length less one byte; it lands here before the good bytes go to `dest`.
  std::array<std::uint8_t, 2 * kMainReadBackChunk> staging;
  std::size_t offset = 0;
  do {
    const std::size_t c = std::min<std::size_t>(kMainReadBackChunk, size - offset);
    std::size_t got = 0;
    do {
      const std::uint32_t n = t.link.LinkRead(std::span(staging).subspan(got, c));
      if (n == 0) {
        t.progress.SetPos(0);
        return 0;
      }
      got += n;
    } while (got < c);
    t.link.Trace(Direction::FromDevice, "data", std::span(staging).first(got));
    if (got > c) {
      if (!SendByte(t.link, kNak)) t.progress.SetPos(0);
      return 0;
    }
    std::memcpy(dest.data() + offset, staging.data(), c);
    if (!SendByte(t.link, kAck)) {
      t.progress.SetPos(0);
      return 0;
    }
    offset += c;
    t.progress.SetPos(Percent(offset, size));
  } while (offset < size);
  t.progress.SetPos(100);
  return 1;
}

int ReadBackSub(TransferContext& t, SubSocketStatus& status, std::span<std::uint8_t> dest) {
  const std::size_t size = dest.size();
  // Each packet lands in a receive buffer of its own; only a block of the right length is
  // copied into `dest`.
  std::array<std::uint8_t, kEscapedReplyBufferSize> packet;
  std::size_t offset = 0;
  do {
    const std::uint32_t b =
        static_cast<std::uint32_t>(std::min<std::size_t>(kSubReadBackBlock, size - offset));
    std::uint8_t request[4];
    PutLe32(request, b);
    if (t.link.LinkWrite(request) == 0) {
      t.progress.SetPos(0);
      return 0;
    }
    t.link.Trace(Direction::ToDevice, "block request", request);
    const int statusLength = ReceiveEscapedReplyPacket(t.link, packet);
    if (statusLength == 0) return 0;
    if (!IsText(std::span(packet).first(static_cast<std::size_t>(statusLength)), "OK")) {
      t.subSocketError = 1;
      return 0;
    }
    const int dataLength = ReceiveEscapedReplyPacket(t.link, packet);
    if (dataLength == 0 || static_cast<std::uint32_t>(dataLength) != b) return 0;
    std::memcpy(dest.data() + offset, packet.data(), b);
    if (!SendByte(t.link, kAck)) {
      t.progress.SetPos(0);
      return 0;
    }
    offset += b;
    t.progress.SetPos(Percent(offset, size));
  } while (offset < size);

  const int statusLength = ReceiveEscapedReplyPacket(t.link, packet);
  if (statusLength != static_cast<int>(status.size())) return 0;
  std::memcpy(status.data(), packet.data(), status.size());
  t.progress.SetPos(100);
  return 1;
}

// A transfer that failed, for whatever reason, may leave bytes behind: the next command drains
// them first.
int Marked(TransferContext& t, int result) {
  if (result == 0) t.link.MarkUnsettled();
  return result;
}

}  // namespace

int AnnounceImageSize(TransferContext& t, std::uint32_t size) {
  return Marked(t, Announce(t, size));
}

int DownloadImage(TransferContext& t, std::span<const std::uint8_t> data, std::uint32_t chunk) {
  return Marked(t, Download(t, data, chunk));
}

int ReadBackImage(TransferContext& t, std::span<std::uint8_t> dest) {
  return Marked(t, ReadBack(t, dest));
}

int ReadBackSubImage(TransferContext& t, SubSocketStatus& status, std::span<std::uint8_t> dest) {
  return Marked(t, ReadBackSub(t, status, dest));
}

}  // namespace torv2::link
