# kelvaro_subsystem(<folder> SOURCES ...): the OBJECT library of one subsystem folder.
function(kelvaro_subsystem name)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  add_library(kv_${name} OBJECT ${ARG_SOURCES})
  target_include_directories(kv_${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(kv_${name} PUBLIC pomrel64 Qt6::Widgets Qt6::Network Qt6::PrintSupport)
endfunction()

# kelvaro_test(<name> SOURCES ...): a GoogleTest program on the offscreen Qt platform.
function(kelvaro_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE kv_test_main)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_LOGGING_RULES=qt.qpa.*=false"
               TIMEOUT 120)
endfunction()
