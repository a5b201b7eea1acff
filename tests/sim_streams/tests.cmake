vx4_add_test(sim_scene_test LABEL unit SOURCES scene_test.cpp ../../sim/streams/scene.cpp LIBRARIES PkgConfig::OPENCV)
target_include_directories(sim_scene_test PRIVATE ${CMAKE_SOURCE_DIR}/sim ${CMAKE_SOURCE_DIR}/sim/streams)
