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

if(NOT CMAKE_CROSSCOMPILING)
  # Secrets in released memory: an executable of its own, because it replaces the global operator
  # delete to look at every block as it is released.
  add_executable(released_memory_tests ${CMAKE_SOURCE_DIR}/session/tests/release/released_memory_test.cpp
                                       ${CMAKE_SOURCE_DIR}/cmake/test_main.cpp)
  target_link_libraries(released_memory_tests PRIVATE nyra_portable GTest::gtest)
  nyra_project_target(released_memory_tests)
  gtest_discover_tests(released_memory_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endif()
