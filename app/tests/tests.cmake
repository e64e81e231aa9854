# The product wiring is tested against the stand-in service through the shared fixture.
if(CMAKE_CROSSCOMPILING)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/net/tests/win/service_fixture.cpp)
endif()
# The launcher's Authenticode signature is checked by Windows' own policy (launcher_signature_test).
if(CMAKE_CROSSCOMPILING)
  target_link_libraries(${target} PRIVATE wintrust)
endif()
