# add_versioned_program(target VERSION a.b.c.d DESCRIPTION text FILENAME name
#                       OUTPUT_DIRECTORY dir SOURCES ... [LIBS ...] [MANIFEST file] [WINDOWED]
#                       [PUBLIC_KEYS key...])
# A program named FILENAME in OUTPUT_DIRECTORY that carries its file version:
# a version resource on Windows, an ELF note on POSIX, so the updater reads
# the same version from it on both. With PUBLIC_KEYS (also given no keys) it
# is an updater that carries the mark of those keys (a source generated from
# built_in_keys.cc.in), which it reads its keys from.
set(VERSIONED_PROGRAM_TEMPLATES ${CMAKE_CURRENT_LIST_DIR})

# Splits a file version "a.b.c.d" into <prefix>_MAJOR, _MINOR, _PATCH and
# _BUILD in the caller's scope.
function(split_file_version version prefix)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "a file version is four dotted numbers, not '${version}'")
  endif()
  set(${prefix}_MAJOR ${CMAKE_MATCH_1} PARENT_SCOPE)
  set(${prefix}_MINOR ${CMAKE_MATCH_2} PARENT_SCOPE)
  set(${prefix}_PATCH ${CMAKE_MATCH_3} PARENT_SCOPE)
  set(${prefix}_BUILD ${CMAKE_MATCH_4} PARENT_SCOPE)
endfunction()

function(add_versioned_program target)
  cmake_parse_arguments(P "WINDOWED" "VERSION;DESCRIPTION;FILENAME;OUTPUT_DIRECTORY;MANIFEST"
    "SOURCES;LIBS;PUBLIC_KEYS" ${ARGN})
  split_file_version(${P_VERSION} VERSION)
  set(PROGRAM_VERSION ${P_VERSION})
  set(PROGRAM_DESCRIPTION ${P_DESCRIPTION})
  set(PROGRAM_FILENAME ${P_FILENAME})
  if(WIN32)
    if(P_MANIFEST)
      set(MANIFEST_COMMENT " and manifest")
      set(MANIFEST_LINE "1 24 \"${P_MANIFEST}\"")
    else()
      set(MANIFEST_COMMENT "")
      set(MANIFEST_LINE "")
    endif()
    set(version_source ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${VERSIONED_PROGRAM_TEMPLATES}/version_resource.rc.in ${version_source} @ONLY)
  else()
    set(version_source ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.cc)
    configure_file(${VERSIONED_PROGRAM_TEMPLATES}/version_note.cc.in ${version_source} @ONLY)
  endif()
  set(keys_source)
  if(DEFINED P_PUBLIC_KEYS OR "PUBLIC_KEYS" IN_LIST P_KEYWORDS_MISSING_VALUES)
    # One source per program: the updaters of a build carry different keys.
    set(PROGRAM_TARGET ${target})
    set(PROGRAM_KEYS "${P_PUBLIC_KEYS}")  # a CMake list: ";" between keys, as in the mark
    set(keys_source ${CMAKE_CURRENT_BINARY_DIR}/${target}_built_in_keys.cc)
    configure_file(${VERSIONED_PROGRAM_TEMPLATES}/built_in_keys.cc.in ${keys_source} @ONLY)
  endif()
  add_executable(${target} ${P_SOURCES} ${version_source} ${keys_source})
  target_link_libraries(${target} PRIVATE ${P_LIBS})
  if(WIN32 AND P_WINDOWED)
    target_link_options(${target} PRIVATE -municode -mwindows)
  endif()
  get_filename_component(stem ${P_FILENAME} NAME_WE)
  get_filename_component(suffix ${P_FILENAME} EXT)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${stem} SUFFIX "${suffix}"
    RUNTIME_OUTPUT_DIRECTORY ${P_OUTPUT_DIRECTORY})
endfunction()
