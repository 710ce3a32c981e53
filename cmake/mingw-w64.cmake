# Cross-builds the updater for 64-bit Windows with MinGW-w64 on Debian.
# VT3_WIN_PREFIXES lists the prefixes of Qt and the libraries built for
# Windows (scripts/windows builds them); only those are searched for
# libraries, headers and packages, never the build machine's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VT3_WIN_TRIPLE x86_64-w64-mingw32)

# The POSIX thread model: std::thread, and what Qt was built with.
set(CMAKE_C_COMPILER ${VT3_WIN_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VT3_WIN_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VT3_WIN_TRIPLE}-windres)

set(VT3_WIN_PREFIXES "$ENV{VT3_WIN_PREFIXES}" CACHE STRING "Prefixes of Qt and the libraries built for Windows")
set(CMAKE_FIND_ROOT_PATH /usr/${VT3_WIN_TRIPLE} ${VT3_WIN_PREFIXES})
set(CMAKE_PREFIX_PATH ${VT3_WIN_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must read the Windows libraries' .pc files only.
set(vt3_pc_path "")
foreach(prefix ${VT3_WIN_PREFIXES})
    list(APPEND vt3_pc_path ${prefix}/lib/pkgconfig)
endforeach()
string(REPLACE ";" ":" vt3_pc_path "${vt3_pc_path}")
set(ENV{PKG_CONFIG_LIBDIR} "${vt3_pc_path}")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# One self-contained program: the compiler's runtime and the thread
# library are linked in, so no DLL of theirs has to sit beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests and tools built here run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run CACHE FILEPATH "Runs a Windows program here")
