# The Windows icon is committed and the Linux icons are drawn at build time by the same script: a drawing changed
# without the .ico made again would give the two systems different pictures.
#   cmake -DPYTHON=... -DSCRIPT=make_icon.py -DCOMMITTED=....ico -DDRAWN=out.ico -P check_icon.cmake
execute_process(COMMAND "${PYTHON}" "${SCRIPT}" "${DRAWN}" RESULT_VARIABLE drawing_failed)
if(drawing_failed)
  message(FATAL_ERROR "${SCRIPT} failed")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${DRAWN}" "${COMMITTED}" RESULT_VARIABLE differs)
if(differs)
  message(FATAL_ERROR "${COMMITTED} is not what ${SCRIPT} draws; make it again with: python3 ${SCRIPT} ${COMMITTED}")
endif()
