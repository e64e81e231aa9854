# The home subsystem's Windows-side tests start launchers that talk to the stand-in service.
if(CMAKE_CROSSCOMPILING)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/net/tests/win/service_fixture.cpp)
endif()
