vx4_add_test(api_process_test LABEL system SOURCES api_process_test.cpp DEPENDS vx4-api)
vx4_add_test(api_http_test LABEL system SOURCES api_http_test.cpp DEPENDS vx4-api)
