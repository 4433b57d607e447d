#pragma once
// Resources carried inside the running program's own executable file, found again through that
// file. The bytes are the ones mapped into the running process: a lookup hands out a
// read-only pointer into the program image, never a copy.

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace torv2::upgrade {

// The step at which a lookup failed, in the order the lookup takes them.
enum class ResourceFailure {
  kOpenModule,    // the path cannot be opened, or is not an executable of this machine
  kFindResource,  // the file has no resource directory, or no resource of that id and type
  kLoadResource,  // the file is not loaded in this process, or its resources are not mapped
  kLockResource,  // the resource's bytes do not lie inside the mapped resources
};

struct ResourceBytes {
  const std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
};

using ResourceLookup = std::variant<ResourceBytes, ResourceFailure>;

// Finds resource `id` of `type` in the module at `modulePath`, which must be a file loaded in
// this process (normally the executable itself).
ResourceLookup FindModuleResource(std::string_view modulePath, std::uint16_t id,
                                  std::uint32_t type);

// The full path of the running executable, for people to read; empty when it cannot be found.
std::string ExecutablePath();

// The name through which this process opens its own executable to find what it carries. On Linux
// it is the kernel's link to the running file: it names the very file that was started and needs
// no right to enter the directories above it (a program under a home directory of mode 0700, run
// by another user, can still read itself). On Windows it is the module's path.
std::string RunningExecutable();

// Why the module at `modulePath` cannot be opened for reading, naming the file as people know it:
// "cannot read /path/to/program: Permission denied". Empty when it can be opened.
std::string ModuleReadProblem(std::string_view modulePath);

}  // namespace torv2::upgrade
