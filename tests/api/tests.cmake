vx4_add_test(api_reply_test LABEL unit SOURCES api_reply_test.cpp LIBRARIES vx4_daemon)
vx4_add_test(api_state_test LABEL unit SOURCES api_state_test.cpp LIBRARIES vx4_daemon)
