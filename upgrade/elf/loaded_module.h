#pragma once
// The modules (the executable and its shared objects) loaded in this process, as the dynamic
// loader reports them: where each one's file-backed segments lie in memory.

#include <cstdint>
#include <optional>
#include <vector>

#include "upgrade/elf/elf_file.h"

namespace torv2::upgrade::elf {

struct LoadedSegment {
  std::uint64_t address = 0;  // before the load bias
  std::uint64_t fileOffset = 0;
  std::uint64_t fileSize = 0;  // bytes mapped from the file; the rest of the segment is zero-fill
};

struct LoadedModule {
  std::uintptr_t loadBias = 0;
  std::vector<LoadedSegment> segments;
};

// The loaded module whose file is `file` (same device and inode); none when the file is not loaded
// in this process.
std::optional<LoadedModule> FindLoadedModule(const FileIdentity& file);

// Where the file bytes [fileOffset, fileOffset + size), linked to load at `address`, lie in this
// process; null unless one segment maps all of them from the file at that address.
const std::uint8_t* MappedFileBytes(const LoadedModule& module, std::uint64_t address,
                                    std::uint64_t fileOffset, std::uint64_t size);

}  // namespace torv2::upgrade::elf
