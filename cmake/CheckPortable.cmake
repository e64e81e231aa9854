# Fails when a portable source (a file directly inside a subsystem folder, or its tests) includes a
# Windows header. Run with -DROOT=<repo> -DSUBSYSTEMS=<list>.
set(offenders)
foreach(subsystem IN LISTS SUBSYSTEMS)
  file(GLOB files ${ROOT}/${subsystem}/*.h ${ROOT}/${subsystem}/*.cpp
                  ${ROOT}/${subsystem}/tests/*.h ${ROOT}/${subsystem}/tests/*.cpp)
  foreach(file IN LISTS files)
    file(STRINGS ${file} hits REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](windows|winhttp|bcrypt|wincrypt|gdiplus|shlobj|winsock2|ws2tcpip|iphlpapi|objbase|shellapi|winternl|platform/win/)")
    if(hits)
      list(APPEND offenders "${file}: ${hits}")
    endif()
  endforeach()
endforeach()
if(offenders)
  list(JOIN offenders "\n" text)
  message(FATAL_ERROR "Portable sources include Windows headers:\n${text}")
endif()
message(STATUS "portable sources are free of Windows headers")
