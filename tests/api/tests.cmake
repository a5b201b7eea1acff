vx4_add_test(api_unit_test LABEL unit
  SOURCES api_reply_test.cpp api_state_test.cpp distance_test.cpp routes_test.cpp seats_test.cpp setup_test.cpp
  LIBRARIES vx4_daemon)
vx4_add_test(api_system_test LABEL system
  SOURCES lights_system_test.cpp service_system_test.cpp laser_compass_system_test.cpp motion_system_test.cpp
          camera_system_test.cpp status_system_test.cpp version_one_system_test.cpp
  LIBRARIES vx4_daemon DEPENDS vx4-api vx4-sim)
target_compile_definitions(api_unit_test PRIVATE VX4_ROUTE_TABLE="${CMAKE_CURRENT_LIST_DIR}/route_table.txt")
