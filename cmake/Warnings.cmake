# Warning set shared by the library, its tests, examples and benchmarks.
function(talvorncommon_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual)
  if(TALVORNCOMMON_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
