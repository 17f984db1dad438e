# Every target of ours calls this; third-party headers stay system headers so their warnings do not drown ours.
function(zvq_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(ZVQ_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
# Off for anyone who just builds the project: a new compiler's false positive must not stop them. Our own
# presets (and so CI) turn it on.
option(ZVQ_WARNINGS_AS_ERRORS "Treat warnings as errors" OFF)
