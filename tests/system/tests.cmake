vx4_add_test(api_process_test LABEL system SOURCES api_process_test.cpp DEPENDS vx4-api)
vx4_add_test(stream_process_test LABEL system SOURCES stream_process_test.cpp ../stream/mjpeg_client.cpp
  ../../sim/streams/scene.cpp
  LIBRARIES vx4_stream_lib PkgConfig::OPENCV DEPENDS vx4-stream vx4-sim)
target_include_directories(stream_process_test PRIVATE ${CMAKE_SOURCE_DIR}/sim ${CMAKE_SOURCE_DIR}/sim/streams)
