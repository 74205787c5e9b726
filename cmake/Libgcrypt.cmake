# libgcrypt, the cryptography of signed updates, as the target
# Libgcrypt::Libgcrypt. The native build uses the system's shared library
# (pkg-config, else libgcrypt-config); the Windows build links the MinGW-w64
# static libraries of libgcrypt and libgpg-error, so the program still needs
# no DLL of its own.
if(TARGET Libgcrypt::Libgcrypt)
  return()
endif()
add_library(Libgcrypt::Libgcrypt INTERFACE IMPORTED)

if(WIN32)
  find_path(LIBGCRYPT_INCLUDE_DIR gcrypt.h REQUIRED)
  find_library(LIBGCRYPT_STATIC_LIBRARY NAMES libgcrypt.a REQUIRED)
  find_library(LIBGPG_ERROR_STATIC_LIBRARY NAMES libgpg-error.a REQUIRED)
  target_include_directories(Libgcrypt::Libgcrypt SYSTEM INTERFACE ${LIBGCRYPT_INCLUDE_DIR})
  # libgpg-error uses Winsock; libgcrypt's entropy gatherer reads the registry.
  target_link_libraries(Libgcrypt::Libgcrypt INTERFACE
    ${LIBGCRYPT_STATIC_LIBRARY} ${LIBGPG_ERROR_STATIC_LIBRARY} ws2_32 advapi32)
  return()
endif()

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(LIBGCRYPT QUIET IMPORTED_TARGET libgcrypt)
endif()
if(LIBGCRYPT_FOUND)
  target_link_libraries(Libgcrypt::Libgcrypt INTERFACE PkgConfig::LIBGCRYPT)
  return()
endif()

find_program(LIBGCRYPT_CONFIG libgcrypt-config)
if(NOT LIBGCRYPT_CONFIG)
  message(FATAL_ERROR "libgcrypt not found (neither pkg-config nor libgcrypt-config knows it); "
    "scripts/setup installs libgcrypt20-dev")
endif()
execute_process(COMMAND ${LIBGCRYPT_CONFIG} --cflags OUTPUT_VARIABLE cflags
  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${LIBGCRYPT_CONFIG} --libs OUTPUT_VARIABLE libs
  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(cflags UNIX_COMMAND "${cflags}")
separate_arguments(libs UNIX_COMMAND "${libs}")
target_compile_options(Libgcrypt::Libgcrypt INTERFACE ${cflags})
target_link_libraries(Libgcrypt::Libgcrypt INTERFACE ${libs})
