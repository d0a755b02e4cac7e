# libzstd and GoogleTest: Debian's packages natively, the builds of scripts/setup under .deps/ for
# MinGW-w64.
set(ONEFILE_DEPS_DIR ${CMAKE_SOURCE_DIR}/.deps)

if(WIN32)
  set(ZSTD_STATIC_LIBRARY ${ONEFILE_DEPS_DIR}/mingw-zstd/lib/libzstd.a)
  set(ZSTD_INCLUDE_DIR ${ONEFILE_DEPS_DIR}/mingw-zstd/include)
  if(NOT EXISTS ${ZSTD_STATIC_LIBRARY})
    message(FATAL_ERROR "MinGW libzstd missing: run scripts/setup")
  endif()
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
endif()

add_library(zstd_static STATIC IMPORTED GLOBAL)
set_target_properties(zstd_static PROPERTIES IMPORTED_LOCATION ${ZSTD_STATIC_LIBRARY}
                                             INTERFACE_INCLUDE_DIRECTORIES ${ZSTD_INCLUDE_DIR})

find_package(GTest REQUIRED)
include(GoogleTest)
