# The two application layers. Each subsystem folder lists its files in both:
#   kelvaro_model(<files>)  plain C++ in the library kelvaro_model: links the engine and the C++
#                           library only, compiled without any Qt include path;
#   kelvaro_ui(<files>)     windows, dialogs, commands and servers in kelvaro_ui, above it.
# scripts/check-layers.py reads these lists: every file of a folder is in exactly one of them,
# and no file of the model layer includes one of the layer above.
function(kelvaro_model)
  target_sources(kelvaro_model PRIVATE ${ARGN})
endfunction()

function(kelvaro_ui)
  if(TARGET kelvaro_ui)
    target_sources(kelvaro_ui PRIVATE ${ARGN})
  endif()
endfunction()

# kelvaro_model_test(<name> SOURCES ...): a GoogleTest program of plain tests; links only the
# model layer (and so cannot reach a widget).
function(kelvaro_model_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE kelvaro_model GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()

# kelvaro_test(<name> SOURCES ...): a GoogleTest program of widget tests on the offscreen Qt platform.
function(kelvaro_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE kv_test_main)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_LOGGING_RULES=qt.qpa.*=false"
               TIMEOUT 120)
endfunction()
