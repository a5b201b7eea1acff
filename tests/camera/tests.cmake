vx4_add_test(visca_link_test LABEL unit SOURCES visca_link_test.cpp LIBRARIES vx4_daemon)
vx4_add_test(camera_zoom_values_test LABEL unit SOURCES camera_zoom_values_test.cpp LIBRARIES vx4_daemon)
vx4_add_test(visca_thread_test LABEL component SOURCES visca_thread_test.cpp LIBRARIES vx4_daemon DEPENDS vx4-sim)
