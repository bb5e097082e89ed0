# What both widths' toolchain files share: a cross build for Windows with the posix thread
# model of mingw-w64. The including file sets CR_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${CR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${CR_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${CR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Every test program runs under Wine, through a wrapper that picks the loader and the prefix
# of the program's width.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
