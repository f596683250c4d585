# The CMake project version is the one source of the release number. The
# library's zqkVersion is compiled from it, and the public header spells it out
# for the programs that compile against it: a header that names another
# release stops the configuration, so the two cannot drift apart.
function(zqk_check_header_version header)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${header}")
  foreach(part MAJOR MINOR PATCH)
    set(number "${PROJECT_VERSION_${part}}")
    if(NOT number MATCHES "^[0-9]+$" OR number GREATER 255)
      message(FATAL_ERROR "the project version ${PROJECT_VERSION} needs a ${part} number from 0 to 255 "
                          "(zqkVersion gives each part one byte)")
    endif()
    zqk_header_define("${header}" ZQK_VERSION_${part} "${number}")
  endforeach()
  zqk_header_define("${header}" ZQK_VERSION_STR "\"${PROJECT_VERSION}\"")
endfunction()

function(zqk_header_define header name expected)
  file(STRINGS "${header}" lines REGEX "^#define ${name} ")
  string(REGEX REPLACE "^#define ${name} +" "" found "${lines}")
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "${header} defines ${name} as '${found}', but the project version is "
                        "${PROJECT_VERSION} (${name} ${expected}): change the two together")
  endif()
endfunction()
