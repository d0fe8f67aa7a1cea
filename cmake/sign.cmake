# Authenticode signing of uninstall.exe right after it is linked, when a certificate is
# given: -DUNINSTALL_SIGN_PFX=<file.pfx> -DUNINSTALL_SIGN_PASSWORD_FILE=<file>, and
# optionally -DUNINSTALL_SIGN_TIMESTAMP_URL=<RFC 3161 service> where one is reachable.
# Without them the build stays unsigned. Include after the target is defined.
set(UNINSTALL_SIGN_PFX "" CACHE FILEPATH "PKCS#12 certificate and key to sign uninstall.exe with (empty: no signing)")
set(UNINSTALL_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File whose first line is the password of UNINSTALL_SIGN_PFX")
set(UNINSTALL_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp service for the signature (empty: none, signs offline)")

if(NOT UNINSTALL_SIGN_PFX AND NOT UNINSTALL_SIGN_PASSWORD_FILE)
  return()
endif()
# Half a configuration would silently ship an unsigned file.
if(NOT UNINSTALL_SIGN_PFX OR NOT UNINSTALL_SIGN_PASSWORD_FILE)
  message(FATAL_ERROR "Set both UNINSTALL_SIGN_PFX and UNINSTALL_SIGN_PASSWORD_FILE, or neither")
endif()
foreach(file IN ITEMS "${UNINSTALL_SIGN_PFX}" "${UNINSTALL_SIGN_PASSWORD_FILE}")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "Signing file not found: ${file}")
  endif()
endforeach()
if(NOT TARGET uninstall)
  message(FATAL_ERROR "cmake/sign.cmake: include it after the uninstall target is defined")
endif()

add_custom_command(TARGET uninstall POST_BUILD
  COMMAND "${CMAKE_CURRENT_LIST_DIR}/../scripts/sign.sh"
    "$<TARGET_FILE:uninstall>" "${UNINSTALL_SIGN_PFX}" "${UNINSTALL_SIGN_PASSWORD_FILE}" ${UNINSTALL_SIGN_TIMESTAMP_URL}
  COMMENT "Signing uninstall.exe"
  VERBATIM)
