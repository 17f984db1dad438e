# Deployment constants: chosen when the build is configured and compiled in; the program reads no configuration.
set(ZVQ_SERVICE_URL "https://127.0.0.1:47443/validate" CACHE STRING
    "The support service's validation endpoint (https, path /validate)")
set(ZVQ_CA_BUNDLE "" CACHE FILEPATH
    "An extra trust anchor (PEM) for development and demo builds; empty trusts the system's store only")
set(ZVQ_SIGNING_KEY_FILE "${PROJECT_SOURCE_DIR}/keys/demo-signing-key.txt" CACHE FILEPATH
    "A UTF-8 file holding the key shared with the support service")
set(ZVQ_APPLET_PUBLISHER "demo" CACHE STRING
    "SHA-256 fingerprints (hex) of subject public keys, one of which must be in the signing chain of the applet \
the Windows program starts; 'demo': the demo service's CA, made at build time; 'none': no check")
option(ZVQ_RELEASE "A build for users: refuses the demo key and a loopback service" OFF)

if(NOT ZVQ_SERVICE_URL MATCHES "^https://[^/]+/validate$")
  message(FATAL_ERROR "ZVQ_SERVICE_URL must be an https URL whose path is /validate: ${ZVQ_SERVICE_URL}")
endif()
if(NOT EXISTS "${ZVQ_SIGNING_KEY_FILE}")
  message(FATAL_ERROR "ZVQ_SIGNING_KEY_FILE does not exist: ${ZVQ_SIGNING_KEY_FILE}")
endif()
if(ZVQ_CA_BUNDLE AND NOT EXISTS "${ZVQ_CA_BUNDLE}" AND NOT ZVQ_CA_BUNDLE_MADE_LATER)
  message(FATAL_ERROR "ZVQ_CA_BUNDLE does not exist: ${ZVQ_CA_BUNDLE}")
endif()
if(NOT ZVQ_APPLET_PUBLISHER MATCHES "^(demo|none)$")
  string(REGEX REPLACE "[,; \t\r\n]+" ";" _zvq_pins "${ZVQ_APPLET_PUBLISHER}")
  list(REMOVE_ITEM _zvq_pins "")
  if(NOT _zvq_pins)
    message(FATAL_ERROR "ZVQ_APPLET_PUBLISHER names no key: give fingerprints, 'demo' or 'none'")
  endif()
  foreach(_zvq_pin IN LISTS _zvq_pins)
    string(LENGTH "${_zvq_pin}" _zvq_pin_length)
    if(NOT _zvq_pin MATCHES "^[0-9a-fA-F]+$" OR NOT _zvq_pin_length EQUAL 64)
      message(FATAL_ERROR "ZVQ_APPLET_PUBLISHER: '${_zvq_pin}' is not a SHA-256 fingerprint of 64 hex digits")
    endif()
  endforeach()
endif()

if(ZVQ_RELEASE)
  get_filename_component(_zvq_key_name "${ZVQ_SIGNING_KEY_FILE}" NAME)
  if(_zvq_key_name MATCHES "demo")
    message(FATAL_ERROR "A release build cannot use the demo signing key (${ZVQ_SIGNING_KEY_FILE})")
  endif()
  if(ZVQ_SERVICE_URL MATCHES "^https://(localhost|127\\.[0-9.]+|\\[::1\\])(:[0-9]+)?/")
    message(FATAL_ERROR "A release build cannot talk to a loopback service (${ZVQ_SERVICE_URL})")
  endif()
  if(ZVQ_CA_BUNDLE)
    message(FATAL_ERROR "A release build trusts the system's certificate store only; leave ZVQ_CA_BUNDLE empty")
  endif()
  if(ZVQ_APPLET_PUBLISHER STREQUAL "demo")
    message(FATAL_ERROR "A release build needs ZVQ_APPLET_PUBLISHER: the fingerprints of the applet publisher's "
                        "keys (see README), or the explicit word 'none' to start applets unchecked")
  endif()
endif()

# Windows trusts the system's certificate store only: test and demo set-ups import their CA into it instead.
if(WIN32 AND ZVQ_CA_BUNDLE)
  message(FATAL_ERROR "ZVQ_CA_BUNDLE is not supported on Windows: the WinHTTP transport trusts the system's "
                      "certificate store only; import the CA into the user's Root store instead")
endif()
