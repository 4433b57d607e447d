#pragma once
// Resources carried inside the running program's own executable file, found again through that
// file's path. The bytes are the ones mapped into the running process: a lookup hands out a
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

// The full path of the running executable; empty when it cannot be found.
std::string ExecutablePath();

}  // namespace torv2::upgrade
