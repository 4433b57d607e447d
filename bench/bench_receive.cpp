// The receive path on the in-process virtual programmer: replies read one byte per LinkRead as
// the framing does. The buffered one-byte read must cost nanoseconds, not a USB transfer. A
// packet that is not received whole stops the benchmark and the program exits 1.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "link/packet.h"

namespace {

using namespace torv2;

bool failed = false;

void Fail(benchmark::State& state, const char* why) {
  failed = true;
  state.SkipWithError(why);
}

std::string Checksum(const std::string& payload) {
  std::uint8_t sum = 0;
  for (char c : payload) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
  char d[2];
  link::RenderChecksum(sum, d);
  return std::string(d, 2);
}

void Receive(benchmark::State& state, bool escaped, std::size_t length) {
  // Data without four '#' in a row, and not ending in '#'.
  std::string payload(length, 'x');
  for (std::size_t i = 0; i < length; i += 7) payload[i] = static_cast<char>('#' + (i % 50));
  const std::string marker = escaped ? "$$$$" : "$";
  const std::string end = escaped ? "####" : "#";
  if (!escaped) {
    for (char& c : payload) c = c == '#' ? 'y' : c;
  }
  const std::string packet = marker + payload + end + Checksum(payload);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(packet.data());

  emulator::InProcessTransport device({.maxPacketSize = 64, .recordHostBytes = false});
  link::UsbLink link(device);
  if (!link.OpenUsbLink()) return Fail(state, "open failed");
  std::vector<std::uint8_t> buffer(link::kEscapedReplyBufferSize);
  for (auto _ : state) {
    state.PauseTiming();
    device.WithProgrammer(
        [&](emulator::VirtualProgrammer& p) { p.SendRaw(std::span(bytes, packet.size())); });
    state.ResumeTiming();
    const int n = escaped ? link::ReceiveEscapedReplyPacket(link, buffer)
                          : link::ReceiveReplyPacket(link, buffer);
    if (n != static_cast<int>(length)) {
      Fail(state, "bad length");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * packet.size()));
}

void BM_EscapedDataPacket1000(benchmark::State& state) {
  Receive(state, true, 1000);
}
void BM_ReplyPacket65535(benchmark::State& state) {
  Receive(state, false, 65535);
}
BENCHMARK(BM_EscapedDataPacket1000);
BENCHMARK(BM_ReplyPacket65535);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (failed) {
    std::fprintf(stderr, "bench_receive: a packet was not received whole\n");
    return 1;
  }
  return 0;
}
