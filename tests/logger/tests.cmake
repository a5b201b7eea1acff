vx4_add_test(logger_test LABEL unit SOURCES logger_test.cpp fsync_hook.cpp LIBRARIES vx4_daemon)
vx4_add_test(logger_report_test LABEL unit SOURCES logger_report_test.cpp fsync_hook.cpp LIBRARIES vx4_daemon)
vx4_add_test(logger_system_test LABEL system SOURCES logger_system_test.cpp LIBRARIES vx4_daemon DEPENDS vx4-api vx4-sim)
