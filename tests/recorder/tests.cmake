vx4_add_test(recorder_unit_test LABEL unit SOURCES media_metadata_test.cpp recording_files_test.cpp
  LIBRARIES vx4_daemon)
vx4_add_test(recorder_test LABEL component SOURCES recorder_test.cpp LIBRARIES vx4_daemon DEPENDS vx4-sim)
vx4_add_test(recorder_system_test LABEL system SOURCES recorder_system_test.cpp LIBRARIES vx4_daemon
  DEPENDS vx4-api vx4-sim)
foreach(test recorder_unit_test recorder_test recorder_system_test)
  target_compile_definitions(${test} PRIVATE VX4_XMP_TEMPLATE_SOURCE="${CMAKE_SOURCE_DIR}/packaging/xmp_template.txt")
endforeach()

# bench/recorder_post_processing times this against cp.
add_executable(recorder_bench ${CMAKE_CURRENT_LIST_DIR}/../../bench/recorder_bench.cpp)
target_link_libraries(recorder_bench PRIVATE vx4_daemon)
vx4_warnings(recorder_bench)
