# Every library comes from Debian; pkg-config finds them, except libev,
# which Debian ships without a .pc file.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(JSONC REQUIRED IMPORTED_TARGET json-c)
pkg_check_modules(HIREDIS REQUIRED IMPORTED_TARGET hiredis)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
pkg_check_modules(GPIOD REQUIRED IMPORTED_TARGET libgpiod)

find_path(LIBEV_INCLUDE_DIR ev.h REQUIRED)
find_library(LIBEV_LIBRARY ev REQUIRED)
add_library(vx4_libev INTERFACE)
target_include_directories(vx4_libev INTERFACE ${LIBEV_INCLUDE_DIR})
target_link_libraries(vx4_libev INTERFACE ${LIBEV_LIBRARY})
