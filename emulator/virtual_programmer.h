#pragma once
// The virtual programmer: a software model of the device's USB side. It reads the bytes the
// host writes to the bulk OUT pipe, runs the device's side of every exchange, and queues what
// the device sends on the bulk IN pipe as USB packets. It has no clock and no thread: it acts
// only when the host writes, so every run is deterministic. Not thread-safe; each face
// (in-process transport, umockdev) serialises calls itself.

#include <array>
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace torv2::emulator {

// The places in an exchange where the device sends something, in wire order of an upgrade.
enum class Step {
  CommandAck,    // '+' for a command frame
  StatusReply,   // reply to "CurrentStatus"
  VersionReply,  // reply to "VersionRead:"
  SizeReply,     // "OK" for a size record
  ChunkAck,      // ten bytes after each downloaded chunk
  ReadChunk,     // one chunk of the main image read back
  BlockStatus,   // "OK" before each sub image block
  BlockData,     // one sub image block
  SocketStatus,  // the eight socket states
  FinalVerdict,  // "OK" after the sub image read-back
};
inline constexpr std::size_t kStepCount = 10;
std::string_view StepName(Step step);

enum class FaultKind {
  NoAnswer,     // send nothing from here on, until the host opens the device again
  Unplug,       // the device drops off the bus instead of sending
  Junk,         // send bytes no receiver can take instead of the real thing
  WrongLength,  // one byte short (ChunkAck, BlockData, SocketStatus) or more than asked (ReadChunk)
  Refuse,       // a negative answer ("Error", a '-' acknowledgement, "NG")
  Corrupt,      // one byte of the data changed (ReadChunk, BlockData)
};
std::string_view FaultKindName(FaultKind kind);

// A fault at the `occurrence`-th time (1 = next) the device reaches `step`.
struct StepFault {
  Step step = Step::CommandAck;
  int occurrence = 1;
  FaultKind kind = FaultKind::NoAnswer;
  friend bool operator==(const StepFault&, const StepFault&) = default;
};

// The names a command line uses: "command-ack" ... "final-verdict", "no-answer" ... "corrupt";
// and a step fault as "STEP:N:KIND" ("read-chunk:2:corrupt", N from 1).
std::string_view StepKey(Step step);
std::string_view FaultKindKey(FaultKind kind);
std::optional<Step> ParseStepKey(std::string_view key);
std::optional<FaultKind> ParseFaultKindKey(std::string_view key);
std::optional<StepFault> ParseStepFault(std::string_view text);

enum class Image { Main, Sub };

// Fault knobs. Each applies to what the device sends from now on.
struct Faults {
  int nakFrames = 0;            // answer the next N command frames with '-'
  int upperCaseChecksums = 0;   // send the next N reply checksums in upper case
  std::string junkBeforeReply;  // bytes sent before every reply packet's start marker
  bool a4StartMarker = false;   // start reply packets with 0xA4 in place of '$'
  bool noAnswer = false;        // stay silent: accept bytes, send nothing
  // How device writes map onto USB transfers: 0 sends each write as one transfer; a smaller
  // number splits every write into transfers of at most that many bytes.
  std::size_t splitWrites = 0;
  bool mergeWrites = false;  // everything sent between two host writes goes as one
  std::optional<StepFault> atStep;
  // The read-back of `image` brings the byte at `offset` changed by `mask`.
  struct ByteFlip {
    Image image = Image::Main;
    std::size_t offset = 0;
    std::uint8_t mask = 0x01;
  };
  std::optional<ByteFlip> flipReadBackByte;
};

struct DeviceSettings {
  std::uint16_t maxPacketSize = 64;  // 64 at full speed, 512 at high speed
  std::string statusReply = "Ready.";
  std::string versionReply = "MainExe - TORV2 Execute V02.07";
  std::array<std::uint8_t, 8> socketStatus{'U', 'U', 'U', 'U', 'U', 'U', 'U', 'U'};
  std::string finalVerdict = "OK";
  bool recordHostBytes = true;  // keep the traffic for hostBytes(), commands(), deviceWrites()
};

class VirtualProgrammer {
 public:
  static constexpr std::uint32_t kSizeRecordWord = 0x14000;
  static constexpr std::size_t kFlashSize = 512 * 1024;

  explicit VirtualProgrammer(DeviceSettings settings = {});
  ~VirtualProgrammer();
  VirtualProgrammer(const VirtualProgrammer&) = delete;
  VirtualProgrammer& operator=(const VirtualProgrammer&) = delete;

  // --- the USB side, called by a face ---

  // The host claimed the interface: the firmware drops what it was doing, empties its IN queue
  // and waits for a command.
  void OnInterfaceClaimed();
  // One bulk OUT transfer's bytes.
  void OnOutTransfer(std::span<const std::uint8_t> data);

  struct InTransfer {
    std::vector<std::uint8_t> data;
    bool overflow = false;  // a packet did not fit: the transfer ends with an overflow
  };
  // The bytes of one bulk IN transfer of `capacity` bytes: whole packets until the capacity is
  // full or a short packet ends it. nullopt when the device has nothing to send.
  std::optional<InTransfer> TakeInTransfer(std::size_t capacity);
  bool HasInData() const { return !inQueue_.empty(); }
  // True once the firmware decided to drop off the bus (a fault); the face unplugs it.
  bool UnplugRequested() const { return unplugRequested_; }
  void ClearUnplugRequest() { unplugRequested_ = false; }

  // --- knobs and observation ---
  DeviceSettings& settings() { return settings_; }
  Faults& faults() { return faults_; }
  // What the device holds for an image: the bytes written last.
  const std::vector<std::uint8_t>& flash(Image image) const;
  // How often the device has taken a whole download of the image into its flash.
  int flashWrites(Image image) const { return flashWrites_[static_cast<std::size_t>(image)]; }
  // Every byte the host has written, in order.
  const std::vector<std::uint8_t>& hostBytes() const { return hostBytes_; }
  // Every write the device made, in order, and whether the host reads it whole (a raw record or
  // chunk) or one byte at a time (a packet or an acknowledgement byte).
  struct DeviceWrite {
    std::size_t size = 0;
    bool readWhole = false;
  };
  const std::vector<DeviceWrite>& deviceWrites() const { return deviceWrites_; }
  // The length of every bulk OUT transfer, in order.
  const std::vector<std::size_t>& hostWriteSizes() const { return hostWriteSizes_; }
  // Command texts received with a good checksum, in order.
  const std::vector<std::string>& commands() const { return commands_; }
  int resetCount() const { return resets_; }
  std::size_t inTransfers() const { return inTransfers_; }
  // How often the device has reached each step since it was made.
  int stepCount(Step step) const { return stepCounts_[static_cast<std::size_t>(step)]; }

  // Queues raw bytes on the IN pipe as one device write (tests play a scripted device with it).
  void SendRaw(std::span<const std::uint8_t> bytes);

  // The firmware is a coroutine that suspends whenever it needs a host byte.
  class Firmware;
  struct ByteAwaiter;
  struct BytesAwaiter;

 private:
  Firmware Run();
  Firmware ReceiveCommandFrame(std::string& text);
  Firmware SendPacket(Step step, std::string payload, bool escaped);
  Firmware ReceiveSizeRecord(std::uint32_t& size, bool& ok);
  Firmware WriteFirmware(Image image);
  Firmware ReadFirmware(Image image);
  ByteAwaiter NextByte();
  BytesAwaiter NextBytes(std::span<std::uint8_t> into);

  // The fault planned for this arrival at `step`, if any; counts the arrival.
  std::optional<FaultKind> Arrive(Step step);
  void Send(std::span<const std::uint8_t> bytes, bool readWhole = false);
  void Send(std::string_view text);
  void FlushWrites();
  void StartFirmware();

  DeviceSettings settings_;
  Faults faults_;
  std::array<std::vector<std::uint8_t>, 2> flash_;
  std::array<int, 2> flashWrites_{};
  std::array<int, kStepCount> stepCounts_{};
  std::array<int, kStepCount> stepCountsAtFault_{};
  bool silent_ = false;
  bool faulted_ = false;  // the current exchange met a fault and is abandoned
  bool unplugRequested_ = false;

  // Host bytes not yet consumed by the firmware, and the firmware waiting for them.
  std::vector<std::uint8_t> outBytes_;
  std::size_t outHead_ = 0;
  std::coroutine_handle<> waiting_;
  std::span<std::uint8_t> waitingInto_;  // a bulk read in progress
  std::size_t waitingGot_ = 0;
  std::unique_ptr<Firmware> firmware_;

  // Device writes since the last host write, and the transfers waiting to go to the host.
  std::vector<std::vector<std::uint8_t>> writes_;
  std::deque<std::vector<std::uint8_t>> inQueue_;
  std::size_t inOffset_ = 0;  // bytes of inQueue_.front() already sent

  std::vector<std::uint8_t> hostBytes_;
  std::vector<std::size_t> hostWriteSizes_;
  std::vector<DeviceWrite> deviceWrites_;
  std::vector<std::string> commands_;
  int resets_ = 0;
  std::size_t inTransfers_ = 0;
};

}  // namespace torv2::emulator
