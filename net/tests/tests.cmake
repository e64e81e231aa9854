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
    ${CMAKE_SOURCE_DIR}/cmake/test_main.cpp)
  target_link_libraries(fallback_tests PRIVATE nyra_win ${gtest_targets})
  target_compile_definitions(fallback_tests PRIVATE NYRA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  nyra_project_target(fallback_tests)
  add_dependencies(fallback_tests Launcher)
  gtest_discover_tests(fallback_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES RESOURCE_LOCK fallback_world TIMEOUT 180)
endif()
