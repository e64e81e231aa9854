# The self-update's Windows-side tests run launchers against the stand-in service and update
# them to the next version, which is built for them.
if(CMAKE_CROSSCOMPILING)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/net/tests/win/service_fixture.cpp
                                   ${CMAKE_SOURCE_DIR}/app/tests/win/launcher_harness.cpp)
  add_dependencies(${target} LauncherNext)
endif()
