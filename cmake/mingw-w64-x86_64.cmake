# Cross-building the Windows program on Debian with mingw-w64 (posix thread model, for std::thread):
#   cmake --preset windows
# Programs built here run at build and test time through Wine (scripts/wine-run), which gives its
# Windows environment its own prefix in the build folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TORV2_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TORV2_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TORV2_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TORV2_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TORV2_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything static: the executables need nothing beyond Windows' own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

get_filename_component(_torv2_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_torv2_source_dir}/scripts/wine-run;--prefix;${CMAKE_BINARY_DIR}/wine")
