# onefile_add_executable(<name> MAIN <target-or-file> [FILES <target-or-file>...] [DIRECTORY <dir>]
#                        [TARGET windows|linux] [LEVEL <n>])
#
# Packs an application into one executable at build time and makes <name> an imported executable
# target for it. The application directory is assembled in the build tree: the main binary at its
# top, each FILES entry at its top under its own file name, and the contents of DIRECTORY below it
# with their relative paths. The pack runs again only when one of these inputs, the packer or the
# launcher changed. See docs/cmake.md.
#
# Needs ONEFILE_PACK_EXECUTABLE, ONEFILE_PACK_EMULATOR (may be empty), ONEFILE_DATA_DIR and
# ONEFILE_ENTRY_DEF, which onefileConfig.cmake sets.

function(onefile_add_executable name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "MAIN;DIRECTORY;TARGET;LEVEL" "FILES")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "onefile_add_executable(${name}): unexpected arguments: ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  foreach(keyword IN LISTS ARG_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "onefile_add_executable(${name}): ${keyword} needs a value")
  endforeach()
  if(NOT ARG_MAIN)
    message(FATAL_ERROR "onefile_add_executable(${name}): MAIN <target-or-file> is required")
  endif()
  if(TARGET ${name})
    message(FATAL_ERROR "onefile_add_executable(${name}): a target named ${name} already exists; "
                        "the packed executable needs a name of its own")
  endif()

  if(NOT DEFINED ARG_TARGET)
    if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
      set(ARG_TARGET windows)
    else()
      set(ARG_TARGET linux)
    endif()
  endif()
  if(NOT ARG_TARGET MATCHES "^(windows|linux)$")
    message(FATAL_ERROR "onefile_add_executable(${name}): TARGET takes windows or linux, not '${ARG_TARGET}'")
  endif()
  if(NOT DEFINED ARG_LEVEL)
    set(ARG_LEVEL 9)
  endif()
  if(NOT ARG_LEVEL MATCHES "^[0-9]+$" OR ARG_LEVEL LESS 1 OR ARG_LEVEL GREATER 22)
    message(FATAL_ERROR "onefile_add_executable(${name}): LEVEL takes a number from 1 to 22, not '${ARG_LEVEL}'")
  endif()

  set(kit "${ONEFILE_DATA_DIR}/${ARG_TARGET}")
  if(NOT EXISTS "${kit}/launcher.exe" AND NOT EXISTS "${kit}/launcher")
    message(FATAL_ERROR "onefile_add_executable(${name}): the ${ARG_TARGET} launcher is not installed in "
                        "${ONEFILE_DATA_DIR}; build the ${ARG_TARGET} preset of onefile and install it to "
                        "the same prefix")
  endif()
  file(GLOB kit_files LIST_DIRECTORIES false CONFIGURE_DEPENDS "${kit}/*")

  set(work "${CMAKE_CURRENT_BINARY_DIR}/onefile/${name}")
  set(app "${work}/app")
  if(ARG_TARGET STREQUAL "windows")
    set(suffix ".exe")
  else()
    set(suffix "")
  endif()
  if(CMAKE_RUNTIME_OUTPUT_DIRECTORY)
    set(output "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name}${suffix}")
  else()
    set(output "${CMAKE_CURRENT_BINARY_DIR}/${name}${suffix}")
  endif()

  set(depends "${ONEFILE_PACK_EXECUTABLE}" ${kit_files})
  set(copy_commands)

  # The main binary.
  if(TARGET ${ARG_MAIN})
    get_target_property(type ${ARG_MAIN} TYPE)
    if(NOT type MATCHES "^(SHARED_LIBRARY|MODULE_LIBRARY)$")
      message(FATAL_ERROR "onefile_add_executable(${name}): MAIN ${ARG_MAIN} is a ${type}; the main binary "
                          "must be a SHARED or MODULE library")
    endif()
    get_target_property(imported ${ARG_MAIN} IMPORTED)
    set(main_file "$<TARGET_FILE:${ARG_MAIN}>")
    set(main_name "$<TARGET_FILE_NAME:${ARG_MAIN}>")
    if(imported)
      list(APPEND depends "${main_file}")
    else()
      list(APPEND depends ${ARG_MAIN})
      if(ARG_TARGET STREQUAL "linux")
        # Libraries unpacked beside the main binary are found through its run path.
        set_property(TARGET ${ARG_MAIN} APPEND PROPERTY BUILD_RPATH "$ORIGIN")
        get_target_property(with_install_rpath ${ARG_MAIN} BUILD_WITH_INSTALL_RPATH)
        get_target_property(install_rpath ${ARG_MAIN} INSTALL_RPATH)
        if(with_install_rpath AND NOT "$ORIGIN" IN_LIST install_rpath)
          message(WARNING "onefile_add_executable(${name}): ${ARG_MAIN} is built with its INSTALL_RPATH, "
                          "which lacks $ORIGIN: libraries beside it will not be found")
        endif()
      else()
        # The entry is exported by ordinal 1: add the module-definition file unless there is one.
        get_target_property(sources ${ARG_MAIN} SOURCES)
        set(has_def FALSE)
        foreach(source IN LISTS sources)
          if(source MATCHES "\\.def$")
            set(has_def TRUE)
          endif()
        endforeach()
        if(NOT has_def)
          target_sources(${ARG_MAIN} PRIVATE "${ONEFILE_ENTRY_DEF}")
        endif()
      endif()
    endif()
  else()
    get_filename_component(main_file "${ARG_MAIN}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    get_filename_component(main_name "${main_file}" NAME)
    list(APPEND depends "${main_file}")
  endif()

  # FILES: libraries, programs and single files, each at the top of the application directory.
  foreach(item IN LISTS ARG_FILES)
    if(TARGET ${item})
      get_target_property(type ${item} TYPE)
      if(NOT type MATCHES "^(SHARED_LIBRARY|MODULE_LIBRARY|EXECUTABLE)$")
        message(FATAL_ERROR "onefile_add_executable(${name}): FILES ${item} is a ${type}; only shared and "
                            "module libraries, executables and files can be shipped")
      endif()
      get_target_property(imported ${item} IMPORTED)
      set(item_file "$<TARGET_FILE:${item}>")
      if(ARG_TARGET STREQUAL "linux" AND type STREQUAL "SHARED_LIBRARY" AND NOT imported)
        # Shipped under the name the main binary asks the loader for.
        set(item_name "$<TARGET_SONAME_FILE_NAME:${item}>")
      else()
        set(item_name "$<TARGET_FILE_NAME:${item}>")
      endif()
      if(imported)
        list(APPEND depends "${item_file}")
      else()
        list(APPEND depends ${item})
      endif()
    else()
      get_filename_component(item_file "${item}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      if(IS_DIRECTORY "${item_file}")
        message(FATAL_ERROR "onefile_add_executable(${name}): FILES ${item} is a directory; use DIRECTORY")
      endif()
      get_filename_component(item_name "${item_file}" NAME)
      list(APPEND depends "${item_file}")
    endif()
    list(APPEND copy_commands COMMAND "${CMAKE_COMMAND}" -E copy "${item_file}" "${app}/${item_name}")
  endforeach()

  # DIRECTORY: its contents, with their relative paths. The glob is checked again at every build,
  # so files added or removed there are noticed.
  if(DEFINED ARG_DIRECTORY)
    get_filename_component(directory "${ARG_DIRECTORY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    if(NOT IS_DIRECTORY "${directory}")
      message(FATAL_ERROR "onefile_add_executable(${name}): DIRECTORY ${ARG_DIRECTORY} is not a directory")
    endif()
    file(GLOB_RECURSE directory_files LIST_DIRECTORIES false CONFIGURE_DEPENDS "${directory}/*")
    list(APPEND depends ${directory_files})
    # A file that changes when the list does: a removed file leaves no newer input behind.
    list(JOIN directory_files "\n" directory_list)
    file(GENERATE OUTPUT "${work}/directory-files.txt" CONTENT "${directory_list}\n")
    list(APPEND depends "${work}/directory-files.txt")
    list(PREPEND copy_commands COMMAND "${CMAKE_COMMAND}" -E copy_directory "${directory}" "${app}")
  endif()

  # The stamp is what the custom target depends on: CMake drops the rule of an output that is also
  # the location of an imported executable when a custom target depends on that output directly.
  set(stamp "${work}/packed.stamp")
  add_custom_command(
    OUTPUT "${output}" "${stamp}"
    # A fresh application directory each time: nothing left over from an earlier pack goes in.
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${app}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${app}"
    ${copy_commands}
    COMMAND "${CMAKE_COMMAND}" -E copy "${main_file}" "${app}/${main_name}"
    COMMAND ${ONEFILE_PACK_EMULATOR} "${ONEFILE_PACK_EXECUTABLE}" --quiet --target ${ARG_TARGET} --level ${ARG_LEVEL} --kit "${kit}"
            -o "${output}" "${app}" "${main_name}"
    COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
    DEPENDS ${depends}
    COMMENT "Packing ${name}${suffix} (${ARG_TARGET})"
    VERBATIM)
  add_custom_target(${name}_pack ALL DEPENDS "${stamp}")

  add_executable(${name} IMPORTED GLOBAL)
  set_target_properties(${name} PROPERTIES IMPORTED_LOCATION "${output}")
  # Whatever uses ${name} (a custom command running it, for instance) waits for the pack.
  add_dependencies(${name} ${name}_pack)
endfunction()
