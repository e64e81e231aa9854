# The relay's Windows-side tests run against the stand-in service through the shared fixture.
if(CMAKE_CROSSCOMPILING)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/net/tests/win/service_fixture.cpp)
endif()
