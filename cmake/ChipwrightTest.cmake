# SPDX-License-Identifier: GPL-3.0-or-later
# chipwright_add_test(NAME name SOURCES ... LIBS ...)
# One GoogleTest binary per module folder, built into bin/ beside the program and
# its data files, each test case registered with CTest.
function(chipwright_add_test)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} chipwright_options GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${ARG_NAME}
    WORKING_DIRECTORY ${CHIPWRIGHT_BIN_DIR}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${ARG_PROPERTIES})
endfunction()
