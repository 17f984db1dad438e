# Authenticode signatures with the demo service's code-signing certificates (made by the zvq_demo_state
# target in ZVQ_DEMO_STATE_DIR), for the Windows demo applet and the tests' applets.
find_program(ZVQ_OSSLSIGNCODE osslsigncode REQUIRED NO_CMAKE_FIND_ROOT_PATH)

# The osslsigncode arguments that sign with the state's certificate NAME, its CA included in the signature.
function(zvq_demo_signing_arguments OUT NAME)
  set(${OUT} "${ZVQ_OSSLSIGNCODE}" sign -h sha256 -n "zvq demo applet"
      -certs "${ZVQ_DEMO_STATE_DIR}/${NAME}-cert.pem" -key "${ZVQ_DEMO_STATE_DIR}/${NAME}-key.pem"
      -ac "${ZVQ_DEMO_STATE_DIR}/ca-cert.pem" PARENT_SCOPE)
endfunction()

# Signs TARGET's program in place after every link with the demo publisher's certificate.
function(zvq_sign_with_demo_publisher TARGET)
  zvq_demo_signing_arguments(sign publisher)
  add_dependencies(${TARGET} zvq_demo_state)
  add_custom_command(TARGET ${TARGET} POST_BUILD
    COMMAND "${CMAKE_COMMAND}" -E rm -f "$<TARGET_FILE:${TARGET}>.signed"
    COMMAND ${sign} -in "$<TARGET_FILE:${TARGET}>" -out "$<TARGET_FILE:${TARGET}>.signed"
    COMMAND "${CMAKE_COMMAND}" -E rename "$<TARGET_FILE:${TARGET}>.signed" "$<TARGET_FILE:${TARGET}>"
    COMMENT "Signing $<TARGET_FILE_NAME:${TARGET}> as the demo publisher"
    VERBATIM)
endfunction()
