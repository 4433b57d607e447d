// Resources of a loaded ELF module: the directory is found through the file's section table, and
// the bytes are handed out where the loader mapped that section into this process.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

#include "upgrade/elf/elf_file.h"
#include "upgrade/elf/loaded_module.h"
#include "upgrade/elf/resource_directory.h"
#include "upgrade/module_resources.h"

namespace torv2::upgrade {
namespace {

using elf::DirectoryEntry;
using elf::DirectoryHeader;

constexpr std::size_t kMaxPathLength = 1u << 16;
constexpr char kRunningExecutable[] = "/proc/self/exe";

// The directory as the file holds it: header and entries, byte for byte.
struct Directory {
  std::vector<std::uint8_t> bytes;
  std::vector<DirectoryEntry> entries;
};

std::optional<Directory> ReadDirectory(const elf::ElfFile& file, const elf::SectionInfo& section) {
  if (!section.hasFileBytes || section.size < sizeof(DirectoryHeader)) return std::nullopt;
  DirectoryHeader header{};
  if (!file.ReadAt(section.fileOffset,
                   std::span(reinterpret_cast<std::uint8_t*>(&header), sizeof header))) {
    return std::nullopt;
  }
  if (header.magic != elf::kDirectoryMagic || header.layout != elf::kDirectoryLayout ||
      header.count > elf::kMaxDirectoryEntries ||
      header.count * sizeof(DirectoryEntry) > section.size - sizeof header) {
    return std::nullopt;
  }
  Directory directory;
  directory.bytes.resize(sizeof header + header.count * sizeof(DirectoryEntry));
  if (!file.ReadAt(section.fileOffset, directory.bytes)) return std::nullopt;
  directory.entries.resize(header.count);
  // An empty directory has no entry storage at all: memcpy must not see its null pointer.
  if (header.count != 0) {
    std::memcpy(directory.entries.data(), directory.bytes.data() + sizeof header,
                header.count * sizeof(DirectoryEntry));
  }
  return directory;
}

}  // namespace

ResourceLookup FindModuleResource(std::string_view modulePath, std::uint16_t id,
                                  std::uint32_t type) {
  const auto file = elf::ElfFile::Open(std::string(modulePath));
  if (!file) return ResourceFailure::kOpenModule;

  const auto section = file->FindSection(elf::kResourceSectionName);
  if (!section) return ResourceFailure::kFindResource;
  const auto directory = ReadDirectory(*file, *section);
  if (!directory) return ResourceFailure::kFindResource;
  const DirectoryEntry* entry = nullptr;
  for (const DirectoryEntry& candidate : directory->entries) {
    if (candidate.id == id && candidate.type == type) {
      entry = &candidate;
      break;
    }
  }
  if (entry == nullptr) return ResourceFailure::kFindResource;

  // The bytes must be those of this very process: the file must be a loaded module, and its
  // resource section must be mapped from the file where the loader put it.
  if (!section->allocated) return ResourceFailure::kLoadResource;
  const auto module = elf::FindLoadedModule(file->identity());
  if (!module) return ResourceFailure::kLoadResource;
  const std::uint8_t* base =
      elf::MappedFileBytes(*module, section->address, section->fileOffset, section->size);
  if (base == nullptr) return ResourceFailure::kLoadResource;
  if (std::memcmp(base, directory->bytes.data(), directory->bytes.size()) != 0) {
    return ResourceFailure::kLoadResource;
  }

  if (entry->offset > section->size || entry->size > section->size - entry->offset ||
      entry->size > std::numeric_limits<std::uint32_t>::max()) {
    return ResourceFailure::kLockResource;
  }
  return ResourceBytes{base + entry->offset, static_cast<std::uint32_t>(entry->size)};
}

std::string ExecutablePath() {
  std::vector<char> buffer(256);
  while (buffer.size() <= kMaxPathLength) {
    const ssize_t n = ::readlink(kRunningExecutable, buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(n));
    }
    buffer.resize(buffer.size() * 2);  // possibly cut short: try again with more room
  }
  return {};
}

std::string RunningExecutable() {
  return kRunningExecutable;
}

std::string ModuleReadProblem(std::string_view modulePath) {
  const std::string path(modulePath);
  if (path.empty() || path.find('\0') != std::string::npos) return "no program file to read";
  const elf::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() >= 0) return {};
  const int error = errno;
  std::string shown = path == kRunningExecutable ? ExecutablePath() : path;
  if (shown.empty()) shown = path;
  return "cannot read " + shown + ": " + std::strerror(error);
}

}  // namespace torv2::upgrade
