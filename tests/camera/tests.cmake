vx4_add_test(camera_unit_test LABEL unit SOURCES visca_link_test.cpp camera_zoom_values_test.cpp motion_loops_test.cpp
  LIBRARIES vx4_daemon)
vx4_add_test(visca_thread_test LABEL component SOURCES visca_thread_test.cpp LIBRARIES vx4_daemon DEPENDS vx4-sim)

# The camera link benchmark (bench/visca_link runs it).
add_executable(visca_link_bench ${CMAKE_CURRENT_LIST_DIR}/../../bench/visca_link_bench.cpp)
target_link_libraries(visca_link_bench PRIVATE vx4_daemon vx4_test_support)
add_dependencies(visca_link_bench vx4-sim)
vx4_warnings(visca_link_bench)
vx4_add_test(camera_services_test LABEL component SOURCES camera_services_test.cpp LIBRARIES vx4_daemon DEPENDS vx4-sim)

# The display rebuild benchmark (bench/osd_rebuild runs it).
add_executable(osd_rebuild_bench ${CMAKE_CURRENT_LIST_DIR}/../../bench/osd_rebuild_bench.cpp)
target_link_libraries(osd_rebuild_bench PRIVATE vx4_daemon vx4_test_support)
add_dependencies(osd_rebuild_bench vx4-sim)
vx4_warnings(osd_rebuild_bench)
