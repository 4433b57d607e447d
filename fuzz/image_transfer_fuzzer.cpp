// The image transfers fed with arbitrary device bytes: the size announcement's reply, the chunk
// acknowledgements of a download, the main image read-back and the sub image read-back.
//
// Input: one byte choosing the transfer, the image size (16 bits), the download chunk length
// (16 bits), then the device (see support/scripted_device.h). Destinations are exactly the image
// size, so ASan sees any write past the image. Holds, besides memory safety: every percentage is
// 0 to 100 and a failure never leaves a stale 100; the host writes exactly what the exchange
// asks for; a read-back that succeeds holds the device's bytes; the announcement and the sub
// image read-back, which read packets byte by byte, agree in full with a plain reading of the
// device's bytes as one stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/packet_model.h"
#include "fuzz/support/scripted_device.h"
#include "link/image_transfer.h"

using namespace torv2;

namespace {

class Positions final : public link::ProgressSink {
 public:
  void SetLabel(std::string_view, bool) override {}
  void SetPercent(int percent) override {
    FUZZ_CHECK(percent >= 0 && percent <= 100);
    positions.push_back(percent);
    last = percent;
  }
  std::vector<int> positions;
  int last = 0;
};

// A destination of exactly `size` bytes, left uninitialised: the checks only read what the
// transfer stored, and no clear of up to 64 KiB per input.
std::unique_ptr<std::uint8_t[]> Destination(std::size_t size) {
  return std::make_unique_for_overwrite<std::uint8_t[]>(size);
}

int Percent(std::size_t done, std::size_t size) {
  return static_cast<int>(std::uint64_t{done} * 100 / size);
}

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void Announce(fuzz::ScriptedDevice& device, link::TransferContext& t, std::uint32_t size,
              bool& subSocketError) {
  const int ok = link::AnnounceImageSize(t, size);

  std::vector<std::uint8_t> host;
  PutLe32(host, link::kSizeRecordWord);
  PutLe32(host, size);
  fuzz::ByteStream stream(device.stream());
  std::vector<std::uint8_t> payload;
  const int n = fuzz::ModelReplyPacket(stream, payload, host);
  const bool good = n > 0 && fuzz::SameText(payload, "OK");
  FUZZ_CHECK(ok == (good ? 1 : 0));
  FUZZ_CHECK(subSocketError == (n > 0 && !good));
  FUZZ_CHECK(device.HostBytes() == host);
}

void Download(fuzz::ScriptedDevice& device, link::TransferContext& t, Positions& progress,
              std::size_t size, std::uint32_t chunk, bool& subSocketError) {
  // The image is the tail of one allocation of the largest size, so a read past it still meets
  // ASan's redzone.
  static const std::vector<std::uint8_t> zeros(0xFFFF, 0);
  const auto image = std::span(zeros).last(size);
  const int ok = link::DownloadImage(t, image, chunk);

  const std::vector<std::size_t>& writes = device.HostWriteSizes();
  std::size_t sent = 0;
  for (const std::size_t w : writes) {
    FUZZ_CHECK(w == std::min<std::size_t>(chunk, size - sent));
    sent += w;
  }
  if (ok) {
    FUZZ_CHECK(sent == size && !subSocketError);
  } else {
    FUZZ_CHECK(progress.last == 0);
  }
  // One percentage per acknowledged chunk, then 100 or 0.
  std::size_t acked = 0;
  const std::size_t acks = ok ? writes.size() : (writes.empty() ? 0 : writes.size() - 1);
  FUZZ_CHECK(progress.positions.size() == acks + 1);
  for (std::size_t i = 0; i < acks; ++i) {
    acked += writes[i];
    FUZZ_CHECK(progress.positions[i] == Percent(acked, size));
  }
}

void ReadBackMain(fuzz::ScriptedDevice& device, link::TransferContext& t, Positions& progress,
                  std::size_t size) {
  const auto dest = Destination(size);
  const int ok = link::ReadBackImage(t, std::span(dest.get(), size));

  // The host says '+' for every whole chunk, and '-' once for a chunk that brought too much.
  std::vector<std::uint8_t> host = device.HostBytes();
  const bool refused = !host.empty() && host.back() == '-';
  if (refused) host.pop_back();
  FUZZ_CHECK(std::all_of(host.begin(), host.end(), [](std::uint8_t b) { return b == '+'; }));
  const std::size_t chunks = host.size();
  const std::size_t stored = std::min<std::size_t>(chunks * link::kMainChunk, size);
  FUZZ_CHECK(device.stream().size() >= stored);
  FUZZ_CHECK(std::equal(dest.get(), dest.get() + stored, device.stream().begin()));
  const std::size_t all = (size + link::kMainChunk - 1) / link::kMainChunk;
  FUZZ_CHECK(ok == (size > 0 && !refused && chunks == all ? 1 : 0));

  for (std::size_t i = 0; i < chunks; ++i) {
    const std::size_t done = std::min<std::size_t>((i + 1) * link::kMainChunk, size);
    FUZZ_CHECK(progress.positions[i] == Percent(done, size));
  }
  if (ok) {
    FUZZ_CHECK(progress.positions.size() == chunks + 1 && progress.last == 100);
  } else if (refused) {
    FUZZ_CHECK(progress.positions.size() == chunks);  // left where it was
  } else {
    FUZZ_CHECK(progress.positions.size() == chunks + 1 && progress.last == 0);
  }
}

void ReadBackSub(fuzz::ScriptedDevice& device, link::TransferContext& t, Positions& progress,
                 std::size_t size, bool& subSocketError) {
  const auto dest = Destination(size);
  link::SubSocketStatus status{};
  const int ok = link::ReadBackSubImage(t, status, std::span(dest.get(), size));

  // The same exchange over the device's bytes as one stream.
  fuzz::ByteStream stream(device.stream());
  std::vector<std::uint8_t> host;
  std::vector<std::uint8_t> want;  // the blocks the plain reading accepts, in order
  std::vector<std::uint8_t> payload;
  std::vector<int> positions;
  int wantOk = 0;
  bool wantError = false;
  std::size_t offset = 0;
  for (;;) {
    const std::size_t b = std::min<std::size_t>(link::kSubBlock, size - offset);
    PutLe32(host, static_cast<std::uint32_t>(b));
    if (fuzz::ModelEscapedReplyPacket(stream, payload, host) == 0) break;
    if (!fuzz::SameText(payload, "OK")) {
      wantError = true;
      break;
    }
    const int n = fuzz::ModelEscapedReplyPacket(stream, payload, host);
    if (n == 0 || static_cast<std::size_t>(n) != b) break;
    want.insert(want.end(), payload.begin(), payload.end());
    host.push_back('+');
    offset += b;
    positions.push_back(Percent(offset, size));
    if (offset < size) continue;
    if (fuzz::ModelEscapedReplyPacket(stream, payload, host) == 8) {
      wantOk = 1;
      positions.push_back(100);
      FUZZ_CHECK(std::equal(payload.begin(), payload.end(), status.begin()));
    }
    break;
  }
  FUZZ_CHECK(ok == wantOk);
  FUZZ_CHECK(subSocketError == wantError);
  FUZZ_CHECK(device.HostBytes() == host);
  FUZZ_CHECK(progress.positions == positions);
  FUZZ_CHECK(want.size() == offset && std::equal(dest.get(), dest.get() + offset, want.begin()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(std::span(data, size));
  const int which = in.Byte() % 4;
  const std::size_t imageSize = in.U16();
  const std::uint32_t chunk = in.U16();
  fuzz::ScriptedDevice device(in);

  Positions progress;
  bool subSocketError = false;
  link::TransferContext t{device.link(), progress, subSocketError};
  switch (which) {
    case 0:
      Announce(device, t, static_cast<std::uint32_t>(imageSize), subSocketError);
      break;
    case 1:
      Download(device, t, progress, imageSize, chunk, subSocketError);
      break;
    case 2:
      ReadBackMain(device, t, progress, imageSize);
      FUZZ_CHECK(!subSocketError);
      break;
    case 3:
      ReadBackSub(device, t, progress, imageSize, subSocketError);
      break;
  }
  return 0;
}
