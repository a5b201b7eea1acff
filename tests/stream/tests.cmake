vx4_add_test(stream_options_test LABEL unit SOURCES options_test.cpp LIBRARIES vx4_stream_lib)
vx4_add_test(stream_overlay_test LABEL unit SOURCES overlay_test.cpp LIBRARIES vx4_stream_lib)
vx4_add_test(stream_basics_test LABEL unit SOURCES stream_basics_test.cpp LIBRARIES vx4_stream_lib)
vx4_add_test(stream_server_test LABEL component SOURCES mjpeg_server_test.cpp mjpeg_client.cpp LIBRARIES vx4_stream_lib)
vx4_add_test(stream_camera_test LABEL component SOURCES camera_test.cpp LIBRARIES vx4_stream_lib PkgConfig::OPENCV)
vx4_add_test(stream_rtp_h264_test LABEL unit SOURCES rtp_h264_test.cpp LIBRARIES vx4_stream_lib)
vx4_add_test(stream_frame_path_test LABEL unit SOURCES frame_path_test.cpp LIBRARIES vx4_stream_lib PkgConfig::OPENCV)

# Not a test: the frame-to-JPEG cost measured by bench/jpeg_encode.
add_executable(jpeg_encode_bench ${CMAKE_CURRENT_LIST_DIR}/../../bench/jpeg_encode_bench.cpp
  ${CMAKE_SOURCE_DIR}/sim/streams/scene.cpp)
target_include_directories(jpeg_encode_bench PRIVATE ${CMAKE_SOURCE_DIR}/sim ${CMAKE_SOURCE_DIR}/sim/streams)
target_link_libraries(jpeg_encode_bench PRIVATE vx4_stream_lib PkgConfig::OPENCV PkgConfig::LIBAV)
vx4_warnings(jpeg_encode_bench)
vx4_add_test(stream_frame_reader_test LABEL component SOURCES frame_reader_test.cpp LIBRARIES vx4_stream_lib
  DEPENDS vx4-sim)
target_include_directories(stream_frame_reader_test PRIVATE ${CMAKE_SOURCE_DIR}/sim/streams)
