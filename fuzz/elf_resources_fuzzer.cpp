// The ELF reader and the resource directory lookup on arbitrary file contents. The reader works
// on a file (it needs the file's identity to match it with a loaded module), so each input is
// written to one file in /dev/shm (or $TMPDIR), kept for the whole run.
//
// Holds, besides memory safety and bounded allocations: a section the reader says has file
// bytes lies inside the file and reads back; a file that is not loaded in this process never
// yields resource bytes.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "fuzz/support/fuzz_input.h"
#include "upgrade/elf/elf_file.h"
#include "upgrade/elf/resource_directory.h"
#include "upgrade/firmware_image.h"
#include "upgrade/module_resources.h"

using namespace torv2;
using upgrade::elf::ElfFile;

namespace {

std::string ScratchPath() {
  const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/torv2-fuzz-elf-" + std::to_string(::getpid());
}

class ScratchFile {
 public:
  ScratchFile() : path_(ScratchPath()) {}
  ~ScratchFile() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

  void Write(const std::uint8_t* data, std::size_t size) {
    const upgrade::elf::UniqueFd fd(
        ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    FUZZ_CHECK(fd.get() >= 0);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::write(fd.get(), data + done, size - done);
      FUZZ_CHECK(n > 0);
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  std::string path_;
};

void CheckSection(const ElfFile& file, std::string_view name, std::size_t fileSize) {
  const auto section = file.FindSection(name);
  if (!section || !section->hasFileBytes) return;
  FUZZ_CHECK(section->fileOffset <= fileSize && section->size <= fileSize - section->fileOffset);
  std::vector<std::uint8_t> bytes(section->size);
  FUZZ_CHECK(file.ReadAt(section->fileOffset, bytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ScratchFile scratch;
  scratch.Write(data, size);

  if (const auto file = ElfFile::Open(scratch.path())) {
    CheckSection(*file, upgrade::elf::kResourceSectionName, size);
    CheckSection(*file, ".shstrtab", size);
  }
  for (const std::uint16_t id : {upgrade::kMainImageResourceId, upgrade::kSubImageResourceId}) {
    const upgrade::ResourceLookup found =
        upgrade::FindModuleResource(scratch.path(), id, upgrade::kRcDataResourceType);
    FUZZ_CHECK(std::holds_alternative<upgrade::ResourceFailure>(found));
  }
  return 0;
}
