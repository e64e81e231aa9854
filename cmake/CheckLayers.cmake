# Fails when a source includes a header of a layer above it. The graph reads top-down:
#   app -> subsystems (net, content, ...) -> core -> platform
# core and platform are the bottom: they include only their own headers (and platform's). No
# product source outside app/ includes app/ (tests may drive the composed product). Run with
# -DROOT=<repo> -DSUBSYSTEMS=<list>.
set(offenders)
function(check_includes files allowed_regex)
  foreach(file IN LISTS files)
    file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" header "${line}")
      if(header MATCHES "/" AND NOT header MATCHES "${allowed_regex}")
        list(APPEND offenders "${file}: ${header}")
      endif()
    endforeach()
  endforeach()
  set(offenders ${offenders} PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE bottom ${ROOT}/core/*.h ${ROOT}/core/*.cpp ${ROOT}/platform/*.h ${ROOT}/platform/*.cpp)
list(FILTER bottom EXCLUDE REGEX "/tests/")
check_includes("${bottom}" "^(core|platform)/")

set(middle)
foreach(subsystem IN LISTS SUBSYSTEMS)
  if(NOT subsystem MATCHES "^(core|app)$")
    file(GLOB_RECURSE found ${ROOT}/${subsystem}/*.h ${ROOT}/${subsystem}/*.cpp)
    list(APPEND middle ${found})
  endif()
endforeach()
list(FILTER middle EXCLUDE REGEX "/tests/")
check_includes("${middle}" "^(core|platform|net|content|session|relay|update|home|state|ui)/")

if(offenders)
  list(JOIN offenders "\n" text)
  message(FATAL_ERROR "Sources include headers of a layer above them:\n${text}")
endif()
message(STATUS "every include points down the layers")
