vx4_add_test(supervisor_parse_test LABEL unit SOURCES parse_test.cpp LIBRARIES vx4_daemon)
vx4_add_test(supervisor_test LABEL component SOURCES supervisor_test.cpp LIBRARIES vx4_daemon DEPENDS vx4-sim)
vx4_add_test(installer_test LABEL component SOURCES installer_test.cpp LIBRARIES vx4_daemon)
