vx4_add_test(api_process_test LABEL system SOURCES api_process_test.cpp DEPENDS vx4-api)
vx4_add_test(board_system_test LABEL system SOURCES board_system_test.cpp LIBRARIES vx4_daemon DEPENDS vx4-api vx4-sim)
