#pragma once
// The virtual programmer: a software model of the device's USB side. It takes the host's bulk
// OUT transfers, runs the device's side of every exchange, and queues what the device sends on
// the bulk IN pipe as USB packets. It has no clock and no thread: it acts only when the host
// writes, so every run is deterministic. Not thread-safe; each face (in-process transport,
// umockdev) serialises calls itself.
//
// It behaves like the hardware, not like the host expects it to:
// - Its state lives with the device. Opening, claiming, releasing and closing are the host's
//   business and change nothing here; what the device has queued stays queued until the host
//   reads it, and an exchange the host gave up on is still where the host left it. Only a
//   restart (ResetNow, a power cycle) starts the firmware over; the flash keeps its content.
// - It keeps its own protocol constants and renders its own checksums: nothing is shared with
//   the host's code, so a mistake made on both sides cannot hide.
// - Inside an exchange each host transfer is one unit: a download chunk (8192 bytes for the main
//   image, 1000 for the sub image, the last one shorter), a size record (8 bytes), a block
//   request (4 bytes), an acknowledgement (1 byte). A transfer of another length is refused the
//   way that exchange refuses (a '-' chunk acknowledgement, an "Error" reply) and ends the
//   exchange; a transfer that begins with '$' ends the exchange and is taken as a command.
// - It answers "VersionRead:" with the title inside the main image its flash holds.
// - "ResetNow" makes it restart and re-enumerate: the face takes it off the bus once the
//   acknowledgement has been read, and brings it back after a delay at a new address.

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
  NoAnswer,     // the answer is lost: nothing is sent, and the device drops the exchange
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
  bool noAnswer = false;        // stay silent until restarted: accept bytes, send nothing
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
  // The title inside the main image the device holds when it is made; "VersionRead:" is
  // answered with the title of whatever main image the flash holds.
  std::string mainImageTitle = "MainExe - TORV2 Execute V02.07";
  // A firmware that answers "VersionRead:" with this text whatever its flash holds.
  std::optional<std::string> versionReply;
  std::array<std::uint8_t, 8> socketStatus{'U', 'U', 'U', 'U', 'U', 'U', 'U', 'U'};
  std::string finalVerdict = "OK";
  bool recordHostBytes = true;  // keep the traffic for hostBytes(), commands(), deviceWrites()
  // The old model's shortcut, not the hardware's: the firmware restarts whenever the host claims
  // the interface. Only for a test that says why it needs it.
  bool restartOnClaim = false;
  // A frame refused this many times in a row for its checksum is answered with '!', a byte
  // outside the protocol, so a host that gets every checksum wrong fails at once instead of
  // resending for ever; likewise a reply packet is sent at most this many times. 0: no limit,
  // as the hardware.
  int refusalLimit = 32;
};

class VirtualProgrammer {
 public:
  static constexpr std::uint32_t kSizeRecordWord = 0x14000;
  static constexpr std::size_t kFlashSize = 512 * 1024;
  static constexpr std::size_t kMainChunk = 8192;   // download and read-back of the main image
  static constexpr std::size_t kSubChunk = 1000;    // download and read-back of the sub image
  static constexpr std::size_t kTitleOffset = 336;  // where the main image holds its title

  explicit VirtualProgrammer(DeviceSettings settings = {});
  ~VirtualProgrammer();
  VirtualProgrammer(const VirtualProgrammer&) = delete;
  VirtualProgrammer& operator=(const VirtualProgrammer&) = delete;

  // --- the USB side, called by a face ---

  // The host claimed the interface. The device sees nothing of it, unless restartOnClaim is set.
  void OnInterfaceClaimed();
  // The firmware starts over (a reset, or power coming back): the exchange in hand and the IN
  // queue are dropped, the flash keeps what it holds, a pending reset request is done.
  void Restart();
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
  // True once the firmware took "ResetNow". The face takes the device off the bus when the
  // host has read what is queued (the acknowledgement), calls Restart() and brings it back.
  bool ResetRequested() const { return resetRequested_; }

  // --- knobs and observation ---
  DeviceSettings& settings() { return settings_; }
  Faults& faults() { return faults_; }
  // What the device holds for an image: the bytes of the last complete download (for the main
  // image at first, a small image that carries settings.mainImageTitle).
  const std::vector<std::uint8_t>& flash(Image image) const;
  // Transfers the device refused inside an exchange (wrong length, unexpected bytes).
  int refusedTransfers() const { return refusedTransfers_; }
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
  struct TransferAwaiter;

 private:
  Firmware Run();
  Firmware ReceiveCommandFrame(std::string& text);
  // Sends a packet until the host answers '+' (acked = true) or something else (false).
  Firmware SendPacket(Step step, std::string payload, bool escaped, bool& acked);
  Firmware ReceiveSizeRecord(std::uint32_t& size, bool& ok);
  Firmware WriteFirmware(Image image);
  Firmware ReadFirmware(Image image);
  // The next command byte; bytes of a transfer are taken one by one.
  ByteAwaiter NextByte();
  // The next whole host transfer, inside an exchange.
  TransferAwaiter NextTransfer(std::vector<std::uint8_t>& into);
  // A transfer that does not belong to the exchange: one that begins with '$' is kept for the
  // command receiver; any other is dropped. Counts the refusal.
  void Unexpected(std::vector<std::uint8_t>& transfer);
  void DropPartTaken();  // the rest of a transfer the command receiver took in part
  std::string VersionReply() const;

  // The fault planned for this arrival at `step`, if any; counts the arrival.
  std::optional<FaultKind> Arrive(Step step);
  void Send(std::span<const std::uint8_t> bytes, bool readWhole = false);
  void Send(std::string_view text);
  void FlushWrites();
  void StartFirmware();

  DeviceSettings settings_;
  Faults faults_;
  std::array<std::vector<std::uint8_t>, 2> flash_;
  std::vector<std::uint8_t> staging_;  // a download in progress
  std::array<int, 2> flashWrites_{};
  std::array<int, kStepCount> stepCounts_{};
  std::array<int, kStepCount> stepCountsAtFault_{};
  bool silent_ = false;
  bool faulted_ = false;  // the current exchange met a fault and is abandoned
  bool unplugRequested_ = false;

  bool resetRequested_ = false;
  int refusedTransfers_ = 0;

  // Host transfers not yet taken by the firmware (the first one perhaps in part), and the
  // firmware waiting for them.
  // Their bytes, one after another, and where each transfer ends; outBytes_ keeps its room, so a
  // long run allocates nothing per transfer.
  std::vector<std::uint8_t> outBytes_;
  std::deque<std::size_t> outEnds_;
  std::size_t outHead_ = 0;     // the next byte to take
  std::size_t frontStart_ = 0;  // where the transfer at outEnds_.front() begins
  std::size_t takenFrom_ = 0;   // the last transfer NextTransfer took, to give it back
  std::size_t takenTo_ = 0;
  std::coroutine_handle<> waiting_;
  std::vector<std::uint8_t>* waitingTransfer_ = nullptr;  // NextTransfer in progress
  std::vector<std::uint8_t> transfer_;                    // the host transfer the firmware works on
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
