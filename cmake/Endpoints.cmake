# The three server endpoints the program is built with (the ports 5001 and
# 4006 and the page's path are fixed).
#
# Development builds default to loopback. A release build (VU_RELEASE) has no
# defaults: it is refused unless all three are given, and it takes loopback
# values only when VU_LOOPBACK_ENDPOINTS asks for them, as the tests do, so a
# program that can never reach the maker's servers is never built silently.
# Included before project(), so a refused release stops at once.

option(VU_RELEASE "Release build: optimised, stripped, warnings as errors, no test hooks, endpoints required" OFF)
option(VU_LOOPBACK_ENDPOINTS "Let a release build name loopback endpoints (tests only, never shipped)" OFF)

set(vu_endpoint_names VU_FIXED_SERVER VU_SERVER_NAME VU_ADDRESS_PAGE)

if(NOT VU_RELEASE)
  set(VU_FIXED_SERVER "127.0.0.1" CACHE STRING "Address of the fixed-address update server")
  set(VU_SERVER_NAME "localhost" CACHE STRING "DNS name of the named update server")
  set(VU_ADDRESS_PAGE "http://127.0.0.1:8006/forum/getip.php" CACHE STRING "URL of the address page")
  return()
endif()

set(vu_endpoint_help
  "A release build needs the maker's three server endpoints, for example in a cache file kept outside the repository:\n"
  "  set(VU_FIXED_SERVER \"203.0.113.10\" CACHE STRING \"\")\n"
  "  set(VU_SERVER_NAME \"update.example.com\" CACHE STRING \"\")\n"
  "  set(VU_ADDRESS_PAGE \"http://www.example.com/forum/getip.php\" CACHE STRING \"\")\n"
  "and configure with: cmake --preset <release preset> -C /path/to/that-file.cmake")

set(vu_missing "")
foreach(name ${vu_endpoint_names})
  if("${${name}}" STREQUAL "")
    list(APPEND vu_missing ${name})
  endif()
endforeach()
if(vu_missing)
  list(JOIN vu_missing ", " vu_missing)
  message(FATAL_ERROR "Release build refused: no value for ${vu_missing}.\n" ${vu_endpoint_help})
endif()

# A dotted IPv4 address the connect step can use (not 0.0.0.0 or 255.255.255.255).
function(vu_is_ipv4 text out)
  set(ok FALSE)
  if(text MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    set(ok TRUE)
    set(octets ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
    foreach(octet ${octets})
      if(octet GREATER 255 OR octet MATCHES "^0[0-9]")
        set(ok FALSE)
      endif()
    endforeach()
    if(text STREQUAL "0.0.0.0" OR text STREQUAL "255.255.255.255")
      set(ok FALSE)
    endif()
  endif()
  set(${out} ${ok} PARENT_SCOPE)
endfunction()

function(vu_is_loopback host out)
  string(TOLOWER "${host}" host)
  if(host MATCHES "^127\\." OR host MATCHES "^(.*\\.)?localhost\\.?$" OR host MATCHES "^\\[?::1\\]?$" OR host MATCHES "^0\\.")
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

set(vu_problems "")
vu_is_ipv4("${VU_FIXED_SERVER}" vu_ok)
if(NOT vu_ok)
  list(APPEND vu_problems "VU_FIXED_SERVER \"${VU_FIXED_SERVER}\" is not a dotted IPv4 address")
endif()
if(NOT VU_SERVER_NAME MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")
  list(APPEND vu_problems "VU_SERVER_NAME \"${VU_SERVER_NAME}\" is not a host name")
endif()
if(VU_ADDRESS_PAGE MATCHES "^http://([^/:]+)(:[0-9]+)?/forum/getip\\.php$")
  set(vu_page_host ${CMAKE_MATCH_1})
else()
  set(vu_page_host "")
  list(APPEND vu_problems "VU_ADDRESS_PAGE \"${VU_ADDRESS_PAGE}\" is not http://HOST[:PORT]/forum/getip.php")
endif()
if(vu_problems)
  list(JOIN vu_problems ";\n  " vu_problems)
  message(FATAL_ERROR "Release build refused:\n  ${vu_problems}.\n" ${vu_endpoint_help})
endif()

set(vu_loopback "")
foreach(pair "VU_FIXED_SERVER|${VU_FIXED_SERVER}" "VU_SERVER_NAME|${VU_SERVER_NAME}" "VU_ADDRESS_PAGE|${vu_page_host}")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 name)
  list(GET pair 1 host)
  vu_is_loopback("${host}" vu_is)
  if(vu_is)
    list(APPEND vu_loopback ${name})
  endif()
endforeach()
if(vu_loopback AND NOT VU_LOOPBACK_ENDPOINTS)
  list(JOIN vu_loopback ", " vu_loopback)
  message(FATAL_ERROR "Release build refused: ${vu_loopback} name this computer (loopback), so the program could "
    "never reach the maker's servers. Only a test build may do that, and it must ask for it with "
    "-DVU_LOOPBACK_ENDPOINTS=ON (the *-release-loopback presets).\n" ${vu_endpoint_help})
endif()
if(VU_LOOPBACK_ENDPOINTS)
  message(STATUS "Release build with loopback endpoints (VU_LOOPBACK_ENDPOINTS): for tests, never to be shipped")
endif()
