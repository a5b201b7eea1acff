vx4_add_test(supervisor_unit_test LABEL unit SOURCES parse_test.cpp LIBRARIES vx4_daemon)
vx4_add_test(supervisor_test LABEL component SOURCES supervisor_test.cpp installer_test.cpp
  LIBRARIES vx4_daemon DEPENDS vx4-sim)
vx4_add_test(supervisor_system_test LABEL system SOURCES supervisor_system_test.cpp DEPENDS vx4-api vx4-sim)
target_compile_definitions(supervisor_system_test PRIVATE
  VX4_XMP_TEMPLATE_SOURCE="${CMAKE_SOURCE_DIR}/packaging/xmp_template.txt")

# The main loop's stalls with the supervisor on it (bench/supervisor_stall runs it).
add_executable(supervisor_stall_bench ${CMAKE_CURRENT_LIST_DIR}/../../bench/supervisor_stall_bench.cpp)
target_link_libraries(supervisor_stall_bench PRIVATE vx4_daemon vx4_test_support)
add_dependencies(supervisor_stall_bench vx4-sim)
vx4_warnings(supervisor_stall_bench)
