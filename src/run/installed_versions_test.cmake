# The installed version query, tested on real programs: small Windows
# programs with version resources built as test data, and the build's own
# Updater.exe. The native tree builds the programs with the MinGW-w64 tools
# when they are installed; the Windows tree builds them with its own
# compiler. Both put them in ${CMAKE_BINARY_DIR}/testdata/versions.
set(version_testdata_dir ${CMAKE_BINARY_DIR}/testdata/versions)
set(version_testdata_source ${CMAKE_CURRENT_SOURCE_DIR}/testdata/versioned_program.c)
# File versions of the test programs; each becomes version_A_B_C_D.exe.
set(version_testdata_versions 1.0.0.0 3.7.2.15 3.70.0.0 3.700.0.0 10.5.0.0 10.50.0.0)

updater_add_test(installed_versions_tests SOURCES installed_versions_test.cc LIBS updater_run)
add_dependencies(installed_versions_tests Updater)
if(UPDATER_VERSION_MINOR LESS 10)
  set(own_version "${UPDATER_VERSION_MAJOR}0${UPDATER_VERSION_MINOR}")
else()
  set(own_version "${UPDATER_VERSION_MAJOR}${UPDATER_VERSION_MINOR}")
endif()
target_compile_definitions(installed_versions_tests PRIVATE UPDATER_OWN_VERSION_NUMBER=${own_version})

if(CMAKE_CROSSCOMPILING)
  set(have_pe_tools TRUE)
else()
  find_program(UPDATER_MINGW_GCC x86_64-w64-mingw32-gcc)
  find_program(UPDATER_MINGW_WINDRES x86_64-w64-mingw32-windres)
  if(UPDATER_MINGW_GCC AND UPDATER_MINGW_WINDRES)
    set(have_pe_tools TRUE)
  else()
    set(have_pe_tools FALSE)
    message(STATUS "MinGW-w64 tools not found: installed version tests on Windows programs skipped")
  endif()
endif()

if(have_pe_tools)
  target_compile_definitions(installed_versions_tests PRIVATE UPDATER_HAVE_PE_TESTDATA=1)
  set(version_testdata_programs)
  foreach(version IN LISTS version_testdata_versions ITEMS none)
    string(REPLACE "." "_" name "version_${version}")
    set(rc "")
    if(NOT version STREQUAL "none")
      set(TEST_VERSION ${version})
      string(REPLACE "." "," TEST_VERSION_COMMAS ${version})
      set(rc ${CMAKE_CURRENT_BINARY_DIR}/testdata/${name}.rc)
      configure_file(testdata/versioned_program.rc.in ${rc} @ONLY)
    endif()
    if(CMAKE_CROSSCOMPILING)
      add_executable(${name} ${version_testdata_source} ${rc})
      set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${version_testdata_dir})
      add_dependencies(installed_versions_tests ${name})
    else()
      set(program ${version_testdata_dir}/${name}.exe)
      set(objects)
      set(commands)
      if(rc)
        set(resource ${CMAKE_CURRENT_BINARY_DIR}/testdata/${name}.res.o)
        set(objects ${resource})
        set(commands COMMAND ${UPDATER_MINGW_WINDRES} -O coff -i ${rc} -o ${resource})
      endif()
      add_custom_command(OUTPUT ${program}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${version_testdata_dir}
        ${commands}
        COMMAND ${UPDATER_MINGW_GCC} -O1 -s -o ${program} ${version_testdata_source} ${objects}
        DEPENDS ${version_testdata_source} ${rc}
        VERBATIM)
      list(APPEND version_testdata_programs ${program})
    endif()
  endforeach()
  if(NOT CMAKE_CROSSCOMPILING)
    add_custom_target(installed_versions_testdata DEPENDS ${version_testdata_programs})
    add_dependencies(installed_versions_tests installed_versions_testdata)
  endif()
endif()
