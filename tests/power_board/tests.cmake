vx4_add_test(power_board_unit_test LABEL unit SOURCES registers_test.cpp heading_test.cpp LIBRARIES vx4_daemon)
vx4_add_test(power_board_test LABEL component SOURCES board_test.cpp mast_test.cpp
  LIBRARIES vx4_daemon DEPENDS vx4-sim)
vx4_add_test(power_board_system_test LABEL system SOURCES board_system_test.cpp LIBRARIES vx4_daemon DEPENDS vx4-api vx4-sim)
