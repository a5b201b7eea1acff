vx4_add_test(api_process_test LABEL system SOURCES api_process_test.cpp DEPENDS vx4-api)
