vx4_add_test(core_test LABEL unit SOURCES trace_test.cpp settings_test.cpp fifo_test.cpp application_test.cpp
  LIBRARIES vx4_daemon)
