vx4_add_test(power_board_registers_test LABEL unit SOURCES registers_test.cpp LIBRARIES vx4_daemon)
vx4_add_test(power_board_test LABEL component SOURCES board_test.cpp LIBRARIES vx4_daemon DEPENDS vx4-sim)
