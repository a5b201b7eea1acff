vx4_add_test(trace_test LABEL unit SOURCES trace_test.cpp LIBRARIES vx4_daemon)
vx4_add_test(settings_test LABEL unit SOURCES settings_test.cpp LIBRARIES vx4_daemon)
vx4_add_test(fifo_test LABEL unit SOURCES fifo_test.cpp LIBRARIES vx4_daemon)
vx4_add_test(application_test LABEL unit SOURCES application_test.cpp LIBRARIES vx4_daemon)
