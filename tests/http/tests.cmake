vx4_add_test(http_parser_test LABEL unit SOURCES http_parser_test.cpp LIBRARIES vx4_daemon)
vx4_add_test(http_server_test LABEL component SOURCES http_server_test.cpp LIBRARIES vx4_daemon)
