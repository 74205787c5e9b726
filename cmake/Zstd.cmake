# Zstandard, as the targets zstd_decoder (what the updater links) and
# zstd_encoder (what only the package writer links). The code uses zstd's
# experimental API (ZSTD_STATIC_LINKING_ONLY), which is only stable within
# one version of the library, so it is always linked statically:
# - native: the static library of Debian's libzstd-dev (both targets; it is
#   built without multithreading, so compression runs on one thread);
# - Windows: Debian's own libzstd source package, which scripts/fetch-sources
#   unpacks, compiled here with MinGW-w64: the decompressor alone for the
#   updater, the compressor (with its worker threads) for the writer.
if(TARGET zstd_decoder)
  return()
endif()

if(NOT WIN32)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(ZSTD QUIET libzstd)
  endif()
  find_path(ZSTD_INCLUDE_DIR zstd.h HINTS ${ZSTD_INCLUDE_DIRS})
  find_library(ZSTD_STATIC_LIBRARY NAMES libzstd.a HINTS ${ZSTD_LIBRARY_DIRS})
  if(NOT ZSTD_INCLUDE_DIR OR NOT ZSTD_STATIC_LIBRARY)
    message(FATAL_ERROR "the static zstd library was not found; scripts/setup installs libzstd-dev")
  endif()
  add_library(zstd_static STATIC IMPORTED)
  set_target_properties(zstd_static PROPERTIES IMPORTED_LOCATION ${ZSTD_STATIC_LIBRARY})
  target_include_directories(zstd_static SYSTEM INTERFACE ${ZSTD_INCLUDE_DIR})
  add_library(zstd_decoder INTERFACE)
  add_library(zstd_encoder INTERFACE)
  target_link_libraries(zstd_decoder INTERFACE zstd_static)
  target_link_libraries(zstd_encoder INTERFACE zstd_static Threads::Threads)
  return()
endif()

set(UPDATER_ZSTD_SOURCE_DIR /usr/local/src/voxa-deps/libzstd CACHE PATH
    "Debian's libzstd source package, unpacked (scripts/fetch-sources)")
set(zstd_lib ${UPDATER_ZSTD_SOURCE_DIR}/lib)
if(NOT EXISTS ${zstd_lib}/zstd.h OR NOT EXISTS ${zstd_lib}/decompress/zstd_decompress.c)
  message(FATAL_ERROR "the libzstd sources are not in ${UPDATER_ZSTD_SOURCE_DIR}; "
    "scripts/fetch-sources (which scripts/setup and scripts/build run) unpacks them")
endif()

# The parts both halves share; each half compiles its own copy, so that the
# updater carries nothing of the compressor.
set(zstd_common_sources
  ${zstd_lib}/common/debug.c
  ${zstd_lib}/common/entropy_common.c
  ${zstd_lib}/common/error_private.c
  ${zstd_lib}/common/fse_decompress.c
  ${zstd_lib}/common/xxhash.c
  ${zstd_lib}/common/zstd_common.c)
add_library(zstd_decoder STATIC ${zstd_common_sources}
  ${zstd_lib}/decompress/huf_decompress.c
  ${zstd_lib}/decompress/zstd_ddict.c
  ${zstd_lib}/decompress/zstd_decompress.c
  ${zstd_lib}/decompress/zstd_decompress_block.c)
# The compressor includes the decompressor's common part, so a program that
# links both (the tests) gets it once, from zstd_decoder.
add_library(zstd_encoder STATIC
  ${zstd_lib}/common/pool.c
  ${zstd_lib}/common/threading.c
  ${zstd_lib}/compress/fse_compress.c
  ${zstd_lib}/compress/hist.c
  ${zstd_lib}/compress/huf_compress.c
  ${zstd_lib}/compress/zstd_compress.c
  ${zstd_lib}/compress/zstd_compress_literals.c
  ${zstd_lib}/compress/zstd_compress_sequences.c
  ${zstd_lib}/compress/zstd_compress_superblock.c
  ${zstd_lib}/compress/zstd_double_fast.c
  ${zstd_lib}/compress/zstd_fast.c
  ${zstd_lib}/compress/zstd_lazy.c
  ${zstd_lib}/compress/zstd_ldm.c
  ${zstd_lib}/compress/zstd_opt.c
  ${zstd_lib}/compress/zstdmt_compress.c)
target_link_libraries(zstd_encoder PUBLIC zstd_decoder)
target_compile_definitions(zstd_encoder PRIVATE ZSTD_MULTITHREAD)
foreach(part zstd_decoder zstd_encoder)
  target_include_directories(${part} SYSTEM PUBLIC ${zstd_lib})
  # No frames of the formats before 1.0, no tracing hooks, no assembly (the
  # library's x86-64 assembly is written for ELF targets only).
  target_compile_definitions(${part} PRIVATE ZSTD_LEGACY_SUPPORT=0 ZSTD_TRACE=0 ZSTD_DISABLE_ASM)
  target_compile_options(${part} PRIVATE -w)
endforeach()
