# libzstd and GoogleTest: Debian's packages natively, the builds of scripts/setup under .deps/ for
# MinGW-w64.
set(ONEFILE_DEPS_DIR ${CMAKE_SOURCE_DIR}/.deps)

if(WIN32)
  set(ZSTD_STATIC_LIBRARY ${ONEFILE_DEPS_DIR}/mingw-zstd/lib/libzstd.a)
  set(ZSTD_INCLUDE_DIR ${ONEFILE_DEPS_DIR}/mingw-zstd/include)
  # The packer's: the same source built with ZSTD_MULTITHREAD, so that onefile-pack.exe compresses
  # with worker threads like the Linux packer (whose Debian libzstd has them) and writes the same
  # bytes. The launcher only decompresses and keeps the single-threaded library.
  set(ZSTD_PACK_LIBRARY ${ONEFILE_DEPS_DIR}/mingw-zstd-mt/lib/libzstd.a)
  set(ZSTD_PACK_INCLUDE_DIR ${ONEFILE_DEPS_DIR}/mingw-zstd-mt/include)
  foreach(library ${ZSTD_STATIC_LIBRARY} ${ZSTD_PACK_LIBRARY})
    if(NOT EXISTS ${library})
      message(FATAL_ERROR "MinGW libzstd missing (${library}): run scripts/setup")
    endif()
  endforeach()
  list(PREPEND CMAKE_PREFIX_PATH ${ONEFILE_DEPS_DIR}/mingw-gtest)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${ONEFILE_DEPS_DIR}/mingw-gtest)
  # Run the Windows test binaries under Wine, in the suite's own prefix.
  set(ONEFILE_WINEPREFIX ${CMAKE_SOURCE_DIR}/build/wineprefix CACHE PATH "Wine prefix used by the tests")
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_COMMAND} -E env WINEPREFIX=${ONEFILE_WINEPREFIX} WINEDEBUG=-all LANG=C.UTF-8
      "WINEDLLOVERRIDES=winedbg.exe=d\;mscoree,mshtml=" wine)
else()
  find_path(ZSTD_INCLUDE_DIR zstd.h REQUIRED)
  find_library(ZSTD_STATIC_LIBRARY NAMES libzstd.a REQUIRED)
  find_library(ZSTD_SHARED_LIBRARY NAMES zstd REQUIRED)
  # The host tool may use the system's shared libzstd; only the launcher must carry its own.
  set(ZSTD_PACK_LIBRARY ${ZSTD_SHARED_LIBRARY})
  set(ZSTD_PACK_INCLUDE_DIR ${ZSTD_INCLUDE_DIR})
endif()

add_library(zstd_static STATIC IMPORTED GLOBAL)
set_target_properties(zstd_static PROPERTIES IMPORTED_LOCATION ${ZSTD_STATIC_LIBRARY}
                                             INTERFACE_INCLUDE_DIRECTORIES ${ZSTD_INCLUDE_DIR})

find_package(GTest REQUIRED)
include(GoogleTest)
