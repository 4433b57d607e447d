#include "upgrade/elf/loaded_module.h"

#include <link.h>
#include <sys/stat.h>

#include <string>

namespace torv2::upgrade::elf {
namespace {

// The loader lists the executable first, without a name.
constexpr char kExecutableLink[] = "/proc/self/exe";

struct Search {
  FileIdentity wanted;
  bool first = true;
  std::optional<LoadedModule> found;
};

int VisitModule(dl_phdr_info* info, std::size_t /*size*/, void* data) {
  auto& search = *static_cast<Search*>(data);
  const bool executable = search.first;
  search.first = false;

  const char* name = info->dlpi_name;
  const char* path =
      (name != nullptr && *name != '\0') ? name : (executable ? kExecutableLink : nullptr);
  if (path == nullptr) return 0;
  struct stat st {};
  if (::stat(path, &st) != 0) return 0;
  if (FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)} !=
      search.wanted) {
    return 0;
  }

  LoadedModule module;
  module.loadBias = static_cast<std::uintptr_t>(info->dlpi_addr);
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    module.segments.push_back({ph.p_vaddr, ph.p_offset, ph.p_filesz});
  }
  search.found = std::move(module);
  return 1;  // stop
}

}  // namespace

std::optional<LoadedModule> FindLoadedModule(const FileIdentity& file) {
  Search search{file};
  dl_iterate_phdr(&VisitModule, &search);
  return std::move(search.found);
}

const std::uint8_t* MappedFileBytes(const LoadedModule& module, std::uint64_t address,
                                    std::uint64_t fileOffset, std::uint64_t size) {
  for (const LoadedSegment& segment : module.segments) {
    if (address < segment.address || fileOffset < segment.fileOffset) continue;
    const std::uint64_t into = address - segment.address;
    if (fileOffset - segment.fileOffset != into) continue;  // not mapped at that address
    if (into > segment.fileSize || size > segment.fileSize - into) continue;
    return reinterpret_cast<const std::uint8_t*>(module.loadBias +
                                                 static_cast<std::uintptr_t>(address));
  }
  return nullptr;
}

}  // namespace torv2::upgrade::elf
