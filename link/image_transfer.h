#pragma once
// Moving a whole image between host and device. Raw records, chunks and acknowledgement bytes go
// over the link as they are; the replies the device sends as packets go through the framing.
//
//   announce:  host: size record (0x14000, size); device: reply "OK"; host: '+'
//   download:  per chunk, host: the chunk; device: ten bytes, '+' first and last
//   read back: per main chunk, device: the chunk; host: '+' ('-' when more arrived)
//   sub image: per sub block, host: block length; device: escaped "OK", escaped data;
//              host: '+' after each packet and one more; finally the escaped 8-byte socket status

#include <array>
#include <cstdint>
#include <span>

#include "link/progress_sink.h"
#include "link/usb_link.h"

namespace torv2::link {

inline constexpr std::uint32_t kSizeRecordWord = 0x14000;
// The main image goes down and comes back in chunks of this many bytes (the last one shorter).
inline constexpr std::uint32_t kMainChunk = 8192;
// The sub image goes down in chunks, and comes back in blocks, of this many bytes.
inline constexpr std::uint32_t kSubBlock = 1000;

// Eight status characters, sub socket 1 first.
using SubSocketStatus = std::array<std::uint8_t, 8>;
// The status character of a socket the device upgraded.
inline constexpr std::uint8_t kSocketUpgraded = 'U';

// What every transfer works with: the open link, the progress sink, and the flag the transfers
// raise when the device refuses a size record, a chunk or a read-back block.
struct TransferContext {
  UsbLink& link;
  ProgressSink& progress;
  bool& subSocketError;
};

// Whether the device answered the size record with "OK".
bool AnnounceImageSize(TransferContext& t, std::uint32_t size);

// Sends `data` in chunks of `chunk` bytes; whether every chunk was acknowledged.
bool DownloadImage(TransferContext& t, std::span<const std::uint8_t> data, std::uint32_t chunk);

// Reads the main image back into `dest` (its size is the image size); whether all of it arrived.
bool ReadBackImage(TransferContext& t, std::span<std::uint8_t> dest);

// Reads the sub image back block by block into `dest`, then the socket status; whether all of it
// arrived.
bool ReadBackSubImage(TransferContext& t, SubSocketStatus& status, std::span<std::uint8_t> dest);

}  // namespace torv2::link
