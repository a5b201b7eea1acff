# The layers hold: a power board source that includes the logger above it
# does not compile (the library's include view has no logger header).
add_library(vx4_upward_include_probe OBJECT EXCLUDE_FROM_ALL ${CMAKE_CURRENT_LIST_DIR}/upward_include_probe.cpp)
target_link_libraries(vx4_upward_include_probe PRIVATE vx4_power_board)
add_test(NAME layers.upward_include_does_not_build
  COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target vx4_upward_include_probe)
set_tests_properties(layers.upward_include_does_not_build PROPERTIES LABELS unit
  PASS_REGULAR_EXPRESSION "logger/logger.h: No such file")

# The Debian package holds the programs and units, with their dependencies.
add_test(NAME package.deb_holds_the_programs_and_units
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/check_package.sh ${CMAKE_BINARY_DIR})
set_tests_properties(package.deb_holds_the_programs_and_units PROPERTIES LABELS system TIMEOUT 300)
