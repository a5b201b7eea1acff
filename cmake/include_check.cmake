# Fails when a daemon source includes one of the daemon's headers without
# its folder: such an include would be found beside the including file and
# slip past the include views that keep the layers apart.
file(GLOB_RECURSE files ${ROOT}/*.cpp ${ROOT}/*.h)
set(bad "")
foreach(file ${files})
  file(STRINGS ${file} lines REGEX "^#include \"")
  foreach(line ${lines})
    if(NOT line MATCHES "^#include \"(platform\\.h|[a-z_]+/[a-z_]+\\.h)\"")
      string(APPEND bad "\n  ${file}: ${line}")
    endif()
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "daemon includes without their folder:${bad}")
endif()
