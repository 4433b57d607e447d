#pragma once
// The resource directory the build links into an executable: a section of its own holding a
// header, one entry per resource and the resource bytes. Offsets count from the start of the
// section, where the header sits. Values are in the machine's byte order.

#include <array>
#include <cstdint>

namespace torv2::upgrade::elf {

inline constexpr char kResourceSectionName[] = ".torv2_rsrc";
inline constexpr std::array<char, 8> kDirectoryMagic = {'T', 'O', 'R', 'V', '2', 'R', 'S', 'C'};
inline constexpr std::uint32_t kDirectoryLayout = 1;
inline constexpr std::uint32_t kMaxDirectoryEntries = 64;

struct DirectoryHeader {
  std::array<char, 8> magic;
  std::uint32_t layout;
  std::uint32_t count;  // entries that follow the header
};
static_assert(sizeof(DirectoryHeader) == 16);

struct DirectoryEntry {
  std::uint32_t id;
  std::uint32_t type;
  std::uint64_t offset;  // from the start of the section
  std::uint64_t size;
};
static_assert(sizeof(DirectoryEntry) == 24);

}  // namespace torv2::upgrade::elf
