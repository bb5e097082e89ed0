# zlib from libz-mingw-w64-dev; minizip's zip and ioapi modules from Debian's zlib
# source package, fetched by scripts/setup.sh into the build folder.
find_library(ZLIB_STATIC NAMES libz.a z REQUIRED)

set(MINIZIP_DIR "${CMAKE_BINARY_DIR}/deps/minizip" CACHE PATH "minizip sources (zip.c, ioapi.c)")
if(NOT EXISTS "${MINIZIP_DIR}/zip.c")
  message(FATAL_ERROR "minizip sources not found in ${MINIZIP_DIR}: run scripts/setup.sh")
endif()
add_library(minizip STATIC "${MINIZIP_DIR}/zip.c" "${MINIZIP_DIR}/ioapi.c")
target_include_directories(minizip SYSTEM PUBLIC "${MINIZIP_DIR}")
target_link_libraries(minizip PUBLIC ${ZLIB_STATIC})
set_target_properties(minizip PROPERTIES C_STANDARD 99)

if(CR_BUILD_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
endif()
