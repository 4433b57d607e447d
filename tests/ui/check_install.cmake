# Installs the build into a fresh prefix and checks what the desktop needs of the program: the
# executable, its desktop entry naming it and its icon, and the icon in every size.
#   cmake -DBUILD=<build dir> -DPREFIX=<empty folder> -P check_install.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
  RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()

set(entry ${PREFIX}/share/applications/torv2-upgrader.desktop)
foreach(file bin/torv2-upgrader share/applications/torv2-upgrader.desktop)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
foreach(size 16 24 32 48 64 128 256)
  if(NOT EXISTS ${PREFIX}/share/icons/hicolor/${size}x${size}/apps/torv2-upgrader.png)
    message(FATAL_ERROR "icon not installed at ${size}x${size}")
  endif()
endforeach()

file(STRINGS ${entry} lines)
foreach(want "[Desktop Entry]" "Type=Application" "Exec=torv2-upgrader" "Icon=torv2-upgrader"
             "Terminal=false")
  if(NOT want IN_LIST lines)
    message(FATAL_ERROR "the desktop entry lacks the line: ${want}")
  endif()
endforeach()

find_program(VALIDATE desktop-file-validate)
if(VALIDATE)
  execute_process(COMMAND ${VALIDATE} ${entry} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "desktop-file-validate refuses the entry")
  endif()
endif()
message(STATUS "installed: program, desktop entry, icons")
