# Warnings are errors for our own code; third-party headers are included
# as system headers and stay quiet.
function(vx4_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow
    -Wformat=2 -Wno-format-nonliteral -Wnon-virtual-dtor -Wno-missing-field-initializers)
endfunction()
