# ruvi_test_binary(<folder> SOURCES ... [DEPS ...])
# One GoogleTest binary per subsystem folder. Test suites are labelled by their name's ending so
# CTest can select them:
#   ...Threading    label "threading": run again under the tsan preset
#   ...Integration  label "integration": starts daemons or external programs; runs alone, so
#                   its long-run rates are not disturbed by other tests
#   ...Slow         label "slow"
# Every test also carries the folder's name as a label.
function(ruvi_test_binary folder)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  set(target ruvi_${folder}_tests)
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock
                                          ruvi_warnings)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(common WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} DISCOVERY_MODE PRE_TEST
             DISCOVERY_TIMEOUT 60)
  # gtest_discover_tests flattens a list of labels into separate properties, so each discovery
  # carries one label and the folder's label comes from the directory.
  set_property(DIRECTORY PROPERTY LABELS ${folder})
  gtest_discover_tests(${target} ${common} TEST_FILTER "*Threading.*"
                       PROPERTIES LABELS threading TIMEOUT 600)
  gtest_discover_tests(${target} ${common} TEST_FILTER "*Integration.*"
                       PROPERTIES LABELS integration RUN_SERIAL TRUE TIMEOUT 900)
  gtest_discover_tests(${target} ${common} TEST_FILTER "*Slow.*"
                       PROPERTIES LABELS slow TIMEOUT 900)
  gtest_discover_tests(${target} ${common} TEST_FILTER "-*Threading.*:*Integration.*:*Slow.*"
                       PROPERTIES TIMEOUT 300)
endfunction()
