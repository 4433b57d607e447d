#include "emulator/virtual_programmer.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <exception>
#include <utility>

namespace torv2::emulator {

// A lazily started coroutine; awaiting one runs it and resumes the awaiter when it ends.
class VirtualProgrammer::Firmware {
 public:
  struct promise_type {
    std::coroutine_handle<> continuation;

    Firmware get_return_object() {
      return Firmware(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
      bool await_ready() noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
        auto next = h.promise().continuation;
        return next ? next : std::noop_coroutine();
      }
      void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void return_void() {}
    void unhandled_exception() { std::terminate(); }
  };

  explicit Firmware(std::coroutine_handle<promise_type> h) : handle_(h) {}
  Firmware(Firmware&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Firmware& operator=(Firmware&&) = delete;
  ~Firmware() {
    if (handle_) handle_.destroy();
  }

  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> caller) noexcept {
    handle_.promise().continuation = caller;
    return handle_;
  }
  void await_resume() const noexcept {}

  void Start() { handle_.resume(); }

 private:
  std::coroutine_handle<promise_type> handle_;
};

// The next command byte: from the transfer in hand, else from the next one.
struct VirtualProgrammer::ByteAwaiter {
  VirtualProgrammer& vp;
  bool await_ready() const noexcept { return vp.outHead_ < vp.outBytes_.size(); }
  void await_suspend(std::coroutine_handle<> h) noexcept {
    vp.waitingTransfer_ = nullptr;
    vp.waiting_ = h;
  }
  std::uint8_t await_resume() noexcept {
    const std::uint8_t b = vp.outBytes_[vp.outHead_++];
    if (vp.outHead_ == vp.outEnds_.front()) {
      vp.outEnds_.pop_front();
      vp.frontStart_ = vp.outHead_;
    }
    return b;
  }
};

// The next whole transfer. What is left of a transfer the command receiver took in part (bytes
// after a frame) is dropped: the exchange starts with the host's next transfer.
struct VirtualProgrammer::TransferAwaiter {
  VirtualProgrammer& vp;
  std::vector<std::uint8_t>& into;
  bool await_ready() noexcept {
    vp.DropPartTaken();
    return !vp.outEnds_.empty();
  }
  void await_suspend(std::coroutine_handle<> h) noexcept {
    vp.waitingTransfer_ = &into;
    vp.waiting_ = h;
  }
  void await_resume() noexcept {
    vp.takenFrom_ = vp.outHead_;
    vp.takenTo_ = vp.outEnds_.front();
    vp.outEnds_.pop_front();
    into.assign(vp.outBytes_.begin() + static_cast<std::ptrdiff_t>(vp.takenFrom_),
                vp.outBytes_.begin() + static_cast<std::ptrdiff_t>(vp.takenTo_));
    vp.outHead_ = vp.frontStart_ = vp.takenTo_;
    vp.waitingTransfer_ = nullptr;
  }
};

std::string_view StepName(Step step) {
  switch (step) {
    case Step::CommandAck:
      return "command ack";
    case Step::StatusReply:
      return "status reply";
    case Step::VersionReply:
      return "version reply";
    case Step::SizeReply:
      return "size reply";
    case Step::ChunkAck:
      return "chunk ack";
    case Step::ReadChunk:
      return "read-back chunk";
    case Step::BlockStatus:
      return "block status";
    case Step::BlockData:
      return "block data";
    case Step::SocketStatus:
      return "socket status";
    case Step::FinalVerdict:
      return "final verdict";
  }
  return "?";
}

std::string_view FaultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::NoAnswer:
      return "no answer";
    case FaultKind::Unplug:
      return "unplug";
    case FaultKind::Junk:
      return "junk";
    case FaultKind::WrongLength:
      return "wrong length";
    case FaultKind::Refuse:
      return "refusal";
    case FaultKind::Corrupt:
      return "corrupt byte";
  }
  return "?";
}

std::string_view StepKey(Step step) {
  switch (step) {
    case Step::CommandAck:
      return "command-ack";
    case Step::StatusReply:
      return "status-reply";
    case Step::VersionReply:
      return "version-reply";
    case Step::SizeReply:
      return "size-reply";
    case Step::ChunkAck:
      return "chunk-ack";
    case Step::ReadChunk:
      return "read-chunk";
    case Step::BlockStatus:
      return "block-status";
    case Step::BlockData:
      return "block-data";
    case Step::SocketStatus:
      return "socket-status";
    case Step::FinalVerdict:
      return "final-verdict";
  }
  return "?";
}

std::string_view FaultKindKey(FaultKind kind) {
  switch (kind) {
    case FaultKind::NoAnswer:
      return "no-answer";
    case FaultKind::Unplug:
      return "unplug";
    case FaultKind::Junk:
      return "junk";
    case FaultKind::WrongLength:
      return "wrong-length";
    case FaultKind::Refuse:
      return "refuse";
    case FaultKind::Corrupt:
      return "corrupt";
  }
  return "?";
}

std::optional<Step> ParseStepKey(std::string_view key) {
  for (std::size_t i = 0; i < kStepCount; ++i) {
    const auto step = static_cast<Step>(i);
    if (StepKey(step) == key) return step;
  }
  return std::nullopt;
}

std::optional<FaultKind> ParseFaultKindKey(std::string_view key) {
  for (const FaultKind kind : {FaultKind::NoAnswer, FaultKind::Unplug, FaultKind::Junk,
                               FaultKind::WrongLength, FaultKind::Refuse, FaultKind::Corrupt}) {
    if (FaultKindKey(kind) == key) return kind;
  }
  return std::nullopt;
}

std::optional<StepFault> ParseStepFault(std::string_view text) {
  const auto first = text.find(':');
  const auto last = text.rfind(':');
  if (first == std::string_view::npos || first == last) return std::nullopt;
  const auto step = ParseStepKey(text.substr(0, first));
  const auto kind = ParseFaultKindKey(text.substr(last + 1));
  const std::string_view count = text.substr(first + 1, last - first - 1);
  int occurrence = 0;
  const auto [end, ec] = std::from_chars(count.data(), count.data() + count.size(), occurrence);
  if (!step || !kind || count.empty() || ec != std::errc{} || end != count.data() + count.size() ||
      occurrence < 1) {
    return std::nullopt;
  }
  return StepFault{*step, occurrence, *kind};
}

namespace {

// The device's side of the protocol, kept apart from the host's.
constexpr std::uint8_t kStartMarker = '$';
constexpr std::uint8_t kEndMarker = '#';
constexpr std::size_t kLongestCommand = 62;  // 'g' and up to 61 bytes of text
constexpr std::size_t kSizeRecordLength = 8;
constexpr std::size_t kBlockRequestLength = 4;
constexpr std::size_t kChunkAckLength = 10;

std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint32_t{b[at]} | (std::uint32_t{b[at + 1]} << 8) | (std::uint32_t{b[at + 2]} << 16) |
         (std::uint32_t{b[at + 3]} << 24);
}

std::uint8_t Sum(std::string_view bytes) {
  std::uint8_t sum = 0;
  for (char c : bytes) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
  return sum;
}

// Two lower-case hexadecimal digits.
std::string Checksum(std::string_view covered) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const std::uint8_t sum = Sum(covered);
  return {kDigits[sum >> 4], kDigits[sum & 0x0F]};
}

bool IsOnly(const std::vector<std::uint8_t>& transfer, std::uint8_t byte) {
  return transfer.size() == 1 && transfer[0] == byte;
}

// Junk that holds no start marker, so a receiver hunting for a packet skips all of it.
constexpr std::string_view kJunk = "\x01junk\x7f";

// A main image as small as can carry a title, the rest erased.
std::vector<std::uint8_t> ImageWithTitle(std::string_view title) {
  std::vector<std::uint8_t> image(VirtualProgrammer::kTitleOffset + title.size() + 1, 0xFF);
  for (std::size_t i = 0; i < title.size(); ++i) {
    image[VirtualProgrammer::kTitleOffset + i] = static_cast<std::uint8_t>(title[i]);
  }
  image.back() = 0;
  return image;
}

}  // namespace

VirtualProgrammer::VirtualProgrammer(DeviceSettings settings) : settings_(std::move(settings)) {
  flash_[static_cast<std::size_t>(Image::Main)] = ImageWithTitle(settings_.mainImageTitle);
  StartFirmware();
}

VirtualProgrammer::~VirtualProgrammer() = default;

void VirtualProgrammer::StartFirmware() {
  waiting_ = {};
  waitingTransfer_ = nullptr;
  firmware_.reset();
  firmware_ = std::make_unique<Firmware>(Run());
  firmware_->Start();  // runs up to its first wait for a host byte
}

void VirtualProgrammer::OnInterfaceClaimed() {
  if (settings_.restartOnClaim) Restart();
}

void VirtualProgrammer::Restart() {
  outBytes_.clear();
  outEnds_.clear();
  outHead_ = frontStart_ = takenFrom_ = takenTo_ = 0;
  writes_.clear();
  inQueue_.clear();
  inOffset_ = 0;
  silent_ = false;
  faulted_ = false;
  resetRequested_ = false;
  StartFirmware();
}

void VirtualProgrammer::OnOutTransfer(std::span<const std::uint8_t> data) {
  if (settings_.recordHostBytes) {
    hostBytes_.insert(hostBytes_.end(), data.begin(), data.end());
    hostWriteSizes_.push_back(data.size());
  }
  if (data.empty()) return;            // a zero-length packet carries nothing for the firmware
  if (outHead_ == outBytes_.size()) {  // all taken: start over, keeping the room
    outBytes_.clear();
    outEnds_.clear();
    outHead_ = frontStart_ = 0;
  }
  outBytes_.insert(outBytes_.end(), data.begin(), data.end());
  outEnds_.push_back(outBytes_.size());
  while (waiting_ && !outEnds_.empty()) {
    if (waitingTransfer_) {
      DropPartTaken();
      if (outEnds_.empty()) break;
    }
    std::exchange(waiting_, {}).resume();
  }
  FlushWrites();
}

void VirtualProgrammer::DropPartTaken() {
  if (outEnds_.empty()) return;
  // Bytes of the front transfer taken already: the command receiver had it.
  if (outHead_ > frontStart_) {
    outHead_ = frontStart_ = outEnds_.front();
    outEnds_.pop_front();
  }
}

void VirtualProgrammer::Unexpected(std::vector<std::uint8_t>& transfer) {
  ++refusedTransfers_;
  if (!transfer.empty() && transfer[0] == kStartMarker) {
    // Not taken after all: the command receiver has it next.
    outHead_ = frontStart_ = takenFrom_;
    outEnds_.push_front(takenTo_);
  }
}

void VirtualProgrammer::SendRaw(std::span<const std::uint8_t> bytes) {
  writes_.emplace_back(bytes.begin(), bytes.end());
  FlushWrites();
}

void VirtualProgrammer::Send(std::span<const std::uint8_t> bytes, bool readWhole) {
  if (silent_ || bytes.empty()) return;
  writes_.emplace_back(bytes.begin(), bytes.end());
  if (settings_.recordHostBytes) deviceWrites_.push_back({bytes.size(), readWhole});
}

void VirtualProgrammer::Send(std::string_view text) {
  Send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void VirtualProgrammer::FlushWrites() {
  if (faults_.mergeWrites && writes_.size() > 1) {
    std::vector<std::uint8_t> all;
    for (auto& w : writes_) all.insert(all.end(), w.begin(), w.end());
    writes_.assign(1, std::move(all));
  }
  for (auto& w : writes_) {
    const std::size_t piece = faults_.splitWrites ? faults_.splitWrites : w.size();
    for (std::size_t at = 0; at < w.size(); at += piece) {
      const std::size_t n = std::min(piece, w.size() - at);
      inQueue_.emplace_back(w.begin() + static_cast<std::ptrdiff_t>(at),
                            w.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
  }
  writes_.clear();
}

std::optional<VirtualProgrammer::InTransfer> VirtualProgrammer::TakeInTransfer(
    std::size_t capacity) {
  if (inQueue_.empty() || capacity == 0) return std::nullopt;
  ++inTransfers_;
  InTransfer t;
  const std::size_t mps = settings_.maxPacketSize;
  const std::vector<std::uint8_t>& write = inQueue_.front();
  bool ended = false;
  while (!ended) {
    const std::size_t packet = std::min(mps, write.size() - inOffset_);
    const std::size_t room = capacity - t.data.size();
    const auto from = write.begin() + static_cast<std::ptrdiff_t>(inOffset_);
    if (packet > room) {
      // The packet does not fit: the host gets what fits and the rest of the packet is lost.
      t.data.insert(t.data.end(), from, from + static_cast<std::ptrdiff_t>(room));
      t.overflow = true;
      inOffset_ += packet;
    } else {
      t.data.insert(t.data.end(), from, from + static_cast<std::ptrdiff_t>(packet));
      inOffset_ += packet;
    }
    // A short packet, or the last full one of a write (followed by a zero-length packet), ends
    // the transfer; so does a full buffer or an overflow.
    const bool writeDone = inOffset_ >= write.size();
    ended = t.overflow || packet < mps || writeDone || t.data.size() == capacity;
    if (writeDone) {
      inQueue_.pop_front();
      inOffset_ = 0;
      break;
    }
  }
  return t;
}

const std::vector<std::uint8_t>& VirtualProgrammer::flash(Image image) const {
  return flash_[static_cast<std::size_t>(image)];
}

std::optional<FaultKind> VirtualProgrammer::Arrive(Step step) {
  const auto i = static_cast<std::size_t>(step);
  ++stepCounts_[i];
  auto& fault = faults_.atStep;
  if (!fault || fault->step != step) return std::nullopt;
  if (--fault->occurrence > 0) return std::nullopt;
  const FaultKind kind = fault->kind;
  fault.reset();
  // After any fault but a changed data byte the host abandons the exchange; so does the device.
  if (kind != FaultKind::Corrupt) faulted_ = true;
  if (kind == FaultKind::NoAnswer) silent_ = true;
  if (kind == FaultKind::Unplug) {
    silent_ = true;
    unplugRequested_ = true;
  }
  return kind;
}

VirtualProgrammer::ByteAwaiter VirtualProgrammer::NextByte() {
  return ByteAwaiter{*this};
}

VirtualProgrammer::TransferAwaiter VirtualProgrammer::NextTransfer(
    std::vector<std::uint8_t>& into) {
  return TransferAwaiter{*this, into};
}

std::string VirtualProgrammer::VersionReply() const {
  if (settings_.versionReply) return *settings_.versionReply;
  // The title: from its offset in the main image up to its NUL. Without one, the firmware has
  // no version to tell.
  const auto& image = flash_[static_cast<std::size_t>(Image::Main)];
  if (image.size() <= kTitleOffset) return "Error";
  const auto from = image.begin() + static_cast<std::ptrdiff_t>(kTitleOffset);
  const auto nul = std::find(from, image.end(), std::uint8_t{0});
  if (nul == image.end()) return "Error";
  return std::string(from, nul);
}

VirtualProgrammer::Firmware VirtualProgrammer::Run() {
  for (;;) {
    std::string text;
    co_await ReceiveCommandFrame(text);
    if (settings_.recordHostBytes) commands_.push_back(text);
    faulted_ = false;
    bool acked = false;
    if (text == "CurrentStatus") {
      co_await SendPacket(Step::StatusReply, settings_.statusReply, false, acked);
    } else if (text == "ResetNow") {
      ++resets_;
      resetRequested_ = true;  // the face restarts the firmware
    } else if (text == "VersionRead:Torv2MainExe,") {
      co_await SendPacket(Step::VersionReply, VersionReply(), false, acked);
    } else if (text == "WriteFirmware:Torv2MainExe,") {
      co_await WriteFirmware(Image::Main);
    } else if (text == "WriteFirmware:Torv2SubExe,") {
      co_await WriteFirmware(Image::Sub);
    } else if (text == "ReadFirmware:Torv2MainExe,") {
      co_await ReadFirmware(Image::Main);
    } else if (text == "ReadFirmware:Torv2SubExe,") {
      co_await ReadFirmware(Image::Sub);
    }
    // Anything else was acknowledged and is ignored.
  }
}

VirtualProgrammer::Firmware VirtualProgrammer::ReceiveCommandFrame(std::string& text) {
  int refusedInARow = 0;
  for (;;) {
    while (co_await NextByte() != kStartMarker) {
    }
    std::string frame;
    std::uint8_t b = 0;
    while ((b = co_await NextByte()) != kEndMarker && frame.size() <= kLongestCommand) {
      frame.push_back(static_cast<char>(b));
    }
    if (b != kEndMarker) continue;  // too long to be a command: hunt again
    std::string got;
    got.push_back(static_cast<char>(co_await NextByte()));
    got.push_back(static_cast<char>(co_await NextByte()));
    const bool good = got == Checksum(frame) && !frame.empty() && frame[0] == 'g';
    if (!good && settings_.refusalLimit > 0 && ++refusedInARow >= settings_.refusalLimit) {
      refusedInARow = 0;
      Send("!");  // not '-' again: this host will not get it right
      continue;
    }
    if (faults_.nakFrames > 0 || !good) {
      if (faults_.nakFrames > 0) --faults_.nakFrames;
      Send("-");
      continue;
    }
    refusedInARow = 0;
    silent_ = faults_.noAnswer;  // a lost answer silenced only the exchange it belonged to
    const auto fault = Arrive(Step::CommandAck);
    if (faults_.noAnswer) silent_ = true;
    text = frame.substr(1);
    switch (fault.value_or(FaultKind::Corrupt)) {
      case FaultKind::NoAnswer:
      case FaultKind::Unplug:
        continue;
      case FaultKind::Junk:
        Send(kJunk);
        continue;  // the host took no '+': it will not go on with this command
      case FaultKind::Refuse:
        Send("-");  // the host sends the frame again
        continue;
      case FaultKind::WrongLength:
        Send("++");  // one byte too many: the next receiver skips it while hunting
        faulted_ = false;
        co_return;
      case FaultKind::Corrupt:
        if (fault) {
          Send("*");
          continue;
        }
        Send("+");
        co_return;
    }
  }
}

VirtualProgrammer::Firmware VirtualProgrammer::SendPacket(Step step, std::string payload,
                                                          bool escaped, bool& acked) {
  acked = false;
  const auto fault = Arrive(step);
  if (fault == FaultKind::NoAnswer || fault == FaultKind::Unplug) co_return;
  if (fault == FaultKind::Junk) {
    Send(kJunk);
    co_return;
  }
  if (faults_.noAnswer) {
    silent_ = true;
    co_return;
  }
  if (fault == FaultKind::Refuse) {
    payload = step == Step::FinalVerdict ? "NG" : "Error";
  } else if (fault == FaultKind::WrongLength && !payload.empty()) {
    payload.pop_back();
  } else if (fault == FaultKind::Corrupt && !payload.empty()) {
    payload[payload.size() / 2] ^= 0x01;
  }
  for (int sent = 1;; ++sent) {
    std::string packet = faults_.junkBeforeReply;
    const char start = faults_.a4StartMarker ? '\xA4' : static_cast<char>(kStartMarker);
    packet.append(escaped ? 4 : 1, start);
    packet += payload;
    packet.append(escaped ? 4 : 1, static_cast<char>(kEndMarker));
    std::string digits = Checksum(payload);
    if (faults_.upperCaseChecksums > 0) {
      --faults_.upperCaseChecksums;
      for (char& d : digits) d = static_cast<char>(std::toupper(static_cast<unsigned char>(d)));
    }
    packet += digits;
    Send(packet);
    std::vector<std::uint8_t>& answer = transfer_;
    co_await NextTransfer(answer);
    if (IsOnly(answer, '+')) {
      acked = true;
      co_return;
    }
    if (!IsOnly(answer, '-')) {
      Unexpected(answer);  // the host has moved on
      co_return;
    }
    if (settings_.refusalLimit > 0 && sent >= settings_.refusalLimit) co_return;  // give up
  }
}

VirtualProgrammer::Firmware VirtualProgrammer::ReceiveSizeRecord(std::uint32_t& size, bool& ok) {
  ok = false;
  std::vector<std::uint8_t>& record = transfer_;
  co_await NextTransfer(record);
  if (record.size() != kSizeRecordLength) {
    const bool command = record[0] == kStartMarker;
    Unexpected(record);
    if (command) co_return;  // the host has moved on to another command
    bool acked = false;
    co_await SendPacket(Step::SizeReply, "Error", false, acked);
    co_return;
  }
  size = Le32(record, 4);
  const bool good = Le32(record, 0) == kSizeRecordWord && size <= kFlashSize;
  bool acked = false;
  co_await SendPacket(Step::SizeReply, good ? "OK" : "Error", false, acked);
  ok = good && acked;
}

VirtualProgrammer::Firmware VirtualProgrammer::WriteFirmware(Image image) {
  std::uint32_t size = 0;
  bool ok = false;
  co_await ReceiveSizeRecord(size, ok);
  if (!ok || faulted_ || silent_) co_return;
  const std::size_t chunk = image == Image::Main ? kMainChunk : kSubChunk;
  // Chunks go to a staging area; the flash takes the image once the download is complete. Both
  // keep their room, so a long run of upgrades allocates nothing here after the first.
  std::vector<std::uint8_t>& received = staging_;
  received.clear();
  received.reserve(size);
  for (std::size_t at = 0; at < size; at += chunk) {
    const std::size_t n = std::min<std::size_t>(chunk, size - at);
    std::vector<std::uint8_t>& transfer = transfer_;
    co_await NextTransfer(transfer);
    if (transfer.size() != n) {
      // Not the chunk the device counts on: refused, and the download is over.
      const bool command = transfer[0] == kStartMarker;
      Unexpected(transfer);
      if (!command && !silent_) {
        constexpr std::string_view refused = "-length?!-";
        static_assert(refused.size() == kChunkAckLength);
        Send(std::span(reinterpret_cast<const std::uint8_t*>(refused.data()), refused.size()),
             true);
      }
      co_return;
    }
    received.insert(received.end(), transfer.begin(), transfer.end());
    const auto fault = Arrive(Step::ChunkAck);
    if (fault == FaultKind::NoAnswer || fault == FaultKind::Unplug) co_return;
    std::string ack = "+.ok.ok.+";
    ack.insert(1, 1, static_cast<char>('0' + (at / chunk) % 10));  // ten bytes
    if (fault == FaultKind::Refuse) ack[9] = '-';
    if (fault == FaultKind::WrongLength) ack.pop_back();
    if (fault == FaultKind::Junk) ack = kJunk;
    if (fault == FaultKind::Corrupt) ack[5] ^= 0x01;  // a byte the host does not look at
    if (faults_.noAnswer) silent_ = true;
    Send(std::span(reinterpret_cast<const std::uint8_t*>(ack.data()), ack.size()), true);
    if (fault && fault != FaultKind::Corrupt) co_return;
  }
  flash_[static_cast<std::size_t>(image)].assign(received.begin(), received.end());
  ++flashWrites_[static_cast<std::size_t>(image)];
}

VirtualProgrammer::Firmware VirtualProgrammer::ReadFirmware(Image image) {
  std::uint32_t size = 0;
  bool ok = false;
  co_await ReceiveSizeRecord(size, ok);
  if (!ok || faulted_ || silent_) co_return;
  // Flash never written reads as erased.
  std::vector<std::uint8_t> content = flash_[static_cast<std::size_t>(image)];
  content.resize(size, 0xFF);
  if (const auto& flip = faults_.flipReadBackByte;
      flip && flip->image == image && flip->offset < size) {
    content[flip->offset] ^= flip->mask;
  }

  if (image == Image::Main) {
    for (std::size_t at = 0; at < size;) {
      const std::size_t n = std::min<std::size_t>(kMainChunk, size - at);
      std::vector<std::uint8_t> chunk(content.begin() + static_cast<std::ptrdiff_t>(at),
                                      content.begin() + static_cast<std::ptrdiff_t>(at + n));
      const auto fault = Arrive(Step::ReadChunk);
      if (fault == FaultKind::NoAnswer || fault == FaultKind::Unplug) co_return;
      if (fault == FaultKind::Corrupt) chunk[n / 2] ^= 0x01;
      if (fault == FaultKind::WrongLength) chunk.push_back(0x00);
      if (fault == FaultKind::Junk || fault == FaultKind::Refuse) chunk.assign(n, '-');
      if (faults_.noAnswer) silent_ = true;
      Send(chunk, true);
      std::vector<std::uint8_t>& answer = transfer_;
      co_await NextTransfer(answer);
      if (!IsOnly(answer, '+')) {
        if (!IsOnly(answer, '-')) Unexpected(answer);
        co_return;  // the host refused the chunk, or moved on
      }
      at += n;
    }
    co_return;
  }

  for (std::size_t at = 0; at < size;) {
    const std::size_t n = std::min<std::size_t>(kSubChunk, size - at);
    std::vector<std::uint8_t>& request = transfer_;
    co_await NextTransfer(request);
    bool acked = false;
    if (request.size() != kBlockRequestLength || Le32(request, 0) != n) {
      const bool command = request[0] == kStartMarker;
      Unexpected(request);
      if (!command) co_await SendPacket(Step::BlockStatus, "Error", true, acked);
      co_return;
    }
    co_await SendPacket(Step::BlockStatus, "OK", true, acked);
    if (!acked || faulted_ || silent_) co_return;
    co_await SendPacket(Step::BlockData,
                        std::string(reinterpret_cast<const char*>(content.data()) + at, n), true,
                        acked);
    if (!acked || faulted_ || silent_) co_return;
    std::vector<std::uint8_t>& more = transfer_;  // the host's own '+' after each block
    co_await NextTransfer(more);
    if (!IsOnly(more, '+')) {
      Unexpected(more);
      co_return;
    }
    at += n;
  }
  const auto& sockets = settings_.socketStatus;
  bool acked = false;
  co_await SendPacket(Step::SocketStatus,
                      std::string(reinterpret_cast<const char*>(sockets.data()), sockets.size()),
                      true, acked);
  if (!acked || faulted_ || silent_) co_return;
  co_await SendPacket(Step::FinalVerdict, settings_.finalVerdict, false, acked);
}

}  // namespace torv2::emulator
