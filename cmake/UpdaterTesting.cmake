# GoogleTest for both builds, and updater_add_test(name SOURCES ... [LIBS ...]).
# The native build uses Debian's prebuilt GoogleTest; the Windows build
# compiles Debian's GoogleTest sources with the cross compiler. Test
# executables of the Windows build run under Wine through the crosscompiling
# emulator.
if(CMAKE_CROSSCOMPILING)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  set(UPDATER_GTEST_MAIN gtest_main)
  set(UPDATER_TEST_PREFIX windows)
else()
  find_package(GTest REQUIRED)
  set(UPDATER_GTEST_MAIN GTest::gtest_main)
  set(UPDATER_TEST_PREFIX posix)
endif()

# Test helpers shared by every test executable.
add_library(updater_test_support STATIC ${CMAKE_SOURCE_DIR}/tests/support/temp_folder.cc
  ${CMAKE_SOURCE_DIR}/tests/support/fake_platform.cc
  ${CMAKE_SOURCE_DIR}/tests/support/fake_web.cc
  ${CMAKE_SOURCE_DIR}/tests/support/terminal_screen.cc)
target_include_directories(updater_test_support PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(updater_test_support PUBLIC ${UPDATER_GTEST_MAIN} updater_system)

# PER_BUILD: the tests are instantiated once per build (names ending in
# /posix and /windows); each build gets a ctest entry of its own, NAME.posix
# and NAME.windows, so that a parallel run takes them side by side. COST:
# about the seconds an entry takes, so that the longest start first.
function(updater_add_test name)
  cmake_parse_arguments(TEST "PER_BUILD" "TIMEOUT;COST" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${TEST_SOURCES})
  target_link_libraries(${name} PRIVATE updater_test_support ${TEST_LIBS})
  if(NOT TEST_TIMEOUT)
    set(TEST_TIMEOUT 300)
  endif()
  set(entries)
  if(TEST_PER_BUILD)
    foreach(build posix windows)
      add_test(NAME ${UPDATER_TEST_PREFIX}.${name}.${build} COMMAND ${name}
        --gtest_filter=*/${build})
      list(APPEND entries ${UPDATER_TEST_PREFIX}.${name}.${build})
    endforeach()
  else()
    add_test(NAME ${UPDATER_TEST_PREFIX}.${name} COMMAND ${name})
    set(entries ${UPDATER_TEST_PREFIX}.${name})
  endif()
  set_tests_properties(${entries} PROPERTIES TIMEOUT ${TEST_TIMEOUT}
    ENVIRONMENT "UPDATER_BUILD_DIR=${CMAKE_BINARY_DIR};UPDATER_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  if(TEST_COST)
    set_tests_properties(${entries} PROPERTIES COST ${TEST_COST})
  endif()
endfunction()

# Lets `ctest` in the native tree run the Windows tree's tests too.
if(NOT CMAKE_CROSSCOMPILING AND UPDATER_WINDOWS_BUILD_DIR)
  file(WRITE ${CMAKE_BINARY_DIR}/windows_tests.cmake
    "if(EXISTS \"${UPDATER_WINDOWS_BUILD_DIR}/CTestTestfile.cmake\")\n"
    "  subdirs(\"${UPDATER_WINDOWS_BUILD_DIR}\")\n"
    "endif()\n")
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY TEST_INCLUDE_FILES
    ${CMAKE_BINARY_DIR}/windows_tests.cmake)
endif()
