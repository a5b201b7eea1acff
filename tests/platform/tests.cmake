vx4_add_test(platform_test LABEL unit SOURCES platform_test.cpp)
