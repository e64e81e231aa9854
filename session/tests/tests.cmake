# The game session's Windows-side tests run against the stand-in service through the shared fixture.
if(CMAKE_CROSSCOMPILING)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/net/tests/win/service_fixture.cpp)

  # The guard channel's tests need a client in a process other than the game's: a tiny helper
  # built beside them, only in trees that build tests.
  add_executable(nyra-guard-test-client ${CMAKE_SOURCE_DIR}/session/tests/win/helpers/guard_test_client.cpp)
  target_link_options(nyra-guard-test-client PRIVATE -municode)
  nyra_project_target(nyra-guard-test-client)
  add_dependencies(${target} nyra-guard-test-client)
endif()
