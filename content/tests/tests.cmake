# Native content tests compare our XPRESS Huffman codec with wimlib's independent implementation
# when libwim is installed (Debian: libwim-dev). Its pkg-config file needs libntfs-3g and fuse
# metadata that the headers do not, so the library is looked up directly.
if(NOT CMAKE_CROSSCOMPILING)
  find_path(NYRA_WIMLIB_INCLUDE_DIR wimlib.h)
  find_library(NYRA_WIMLIB_LIBRARY wim)
  if(NYRA_WIMLIB_INCLUDE_DIR AND NYRA_WIMLIB_LIBRARY)
    if(NOT NYRA_WIMLIB_INCLUDE_DIR STREQUAL "/usr/include")
      target_include_directories(${target} SYSTEM PRIVATE ${NYRA_WIMLIB_INCLUDE_DIR})
    endif()
    target_link_libraries(${target} PRIVATE ${NYRA_WIMLIB_LIBRARY})
    target_compile_definitions(${target} PRIVATE NYRA_HAVE_WIMLIB=1)
  else()
    message(STATUS "libwim not found: the XPRESS comparison with wimlib will report SKIPPED")
  endif()
else()
  # The preparation tests run against the stand-in service through the shared fixture.
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/net/tests/win/service_fixture.cpp)
endif()
if(CMAKE_CROSSCOMPILING)
  # The crash-safety tests start the preparation as a process of their own.
  add_dependencies(${target} nyra-prepare-child)
endif()
