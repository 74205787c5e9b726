# The signature tests check the real minisign's keys and signatures. The
# native test runs minisign itself, with fresh keys each run, and has
# minisign check the signatures it makes. A Windows test under Wine cannot
# start the native tool, so the Windows tree runs the same sample script at
# build time and its test reads the samples from there.
find_program(UPDATER_MINISIGN minisign REQUIRED)
set(signature_samples_script ${CMAKE_CURRENT_SOURCE_DIR}/testdata/make_minisign_samples.sh)

updater_add_test(signature_tests SOURCES minisign_format_test.cc signature_test.cc
  LIBS updater_protocol)

if(CMAKE_CROSSCOMPILING)
  set(samples ${CMAKE_CURRENT_BINARY_DIR}/signature_samples)
  add_custom_command(OUTPUT ${samples}/stamp
    COMMAND sh ${signature_samples_script} ${samples} ${UPDATER_MINISIGN}
    COMMAND ${CMAKE_COMMAND} -E touch ${samples}/stamp
    DEPENDS ${signature_samples_script}
    COMMENT "Signing the signature test samples with minisign"
    VERBATIM)
  add_custom_target(signature_samples DEPENDS ${samples}/stamp)
  add_dependencies(signature_tests signature_samples)
  target_compile_definitions(signature_tests PRIVATE SIGNATURE_SAMPLES_DIR="${samples}/")
  # The program links libgcrypt and libgpg-error statically like Updater.exe
  # will; it must import system libraries only.
  add_test(NAME windows.signature_imports
    COMMAND ${CMAKE_SOURCE_DIR}/tests/e2e/check-imports $<TARGET_FILE:signature_tests>)
else()
  target_compile_definitions(signature_tests PRIVATE
    MINISIGN_PROGRAM="${UPDATER_MINISIGN}"
    SIGNATURE_SAMPLES_SCRIPT="${signature_samples_script}")
endif()
