#pragma once
// Running under the umockdev preload (libumockdev-preload.so), which a process needs to send
// uevents for its UmockdevBed and to reach emulated devices.

namespace torv2::emulator {

// The preload library's name, as LD_PRELOAD takes it.
inline constexpr const char* kUmockdevPreload = "libumockdev-preload.so.0";

// True when the preload library is loaded into this process.
bool RunningUnderUmockdevPreload();

// Returns at once when the preload is loaded. Otherwise re-executes this program (argv as
// given to main) with the preload in front of LD_PRELOAD, with AddressSanitizer told not to
// insist on coming first and ThreadSanitizer told to ignore what happens inside uninstrumented
// libraries (GLib's futex locks are invisible to it); does not return then. Throws
// std::runtime_error when the re-execution fails or did not bring the preload in.
void EnsureUmockdevPreload(char** argv);

}  // namespace torv2::emulator
