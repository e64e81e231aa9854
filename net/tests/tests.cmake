# The connectivity fallback's journey under Wine runs in a test program of its own, linked with the
# fallback test flavour (core/deployment/fallback_test.cpp: the production host names, resolvers
# and edge addresses with the development trust material) instead of this tree's flavour. Its
# object defines nyra::deployment(), so the flavour object of the library is never pulled in (a
# second definition would fail the link, not pass silently).
if(CMAKE_CROSSCOMPILING AND WIN32)
  file(GLOB fallback_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/net/tests/win/fallback/*.cpp)
  add_executable(fallback_tests ${fallback_sources}
    ${CMAKE_SOURCE_DIR}/core/deployment/fallback_test.cpp
    ${CMAKE_SOURCE_DIR}/net/tests/win/service_fixture.cpp
    ${CMAKE_SOURCE_DIR}/app/tests/win/launcher_harness.cpp
    ${CMAKE_SOURCE_DIR}/cmake/test_main.cpp)
  target_link_libraries(fallback_tests PRIVATE nyra_win ${gtest_targets})
  target_compile_definitions(fallback_tests PRIVATE NYRA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  nyra_project_target(fallback_tests)
  # The whole launcher in the same flavour, started by the tests as a player would; the fallback
  # world's package set publishes it, so its start-up check finds itself current.
  add_executable(Launcher-fallback-test WIN32 ${CMAKE_SOURCE_DIR}/app/win/main.cpp
    ${CMAKE_SOURCE_DIR}/resources/Launcher.rc ${CMAKE_SOURCE_DIR}/core/deployment/fallback_test.cpp)
  target_link_libraries(Launcher-fallback-test PRIVATE nyra_win)
  target_link_options(Launcher-fallback-test PRIVATE -municode)
  nyra_project_target(Launcher-fallback-test)
  add_dependencies(fallback_tests Launcher Launcher-fallback-test)
  gtest_discover_tests(fallback_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES RESOURCE_LOCK fallback_world TIMEOUT 180)
endif()

# The fallback benchmark (scripts/bench-fallback), in the same flavour.
if(CMAKE_CROSSCOMPILING AND WIN32)
  add_executable(nyra-fallback-bench ${CMAKE_SOURCE_DIR}/net/tests/win/fallback/bench/fallback_bench.cpp
    ${CMAKE_SOURCE_DIR}/core/deployment/fallback_test.cpp)
  target_link_libraries(nyra-fallback-bench PRIVATE nyra_win)
  nyra_project_target(nyra-fallback-bench)
endif()
