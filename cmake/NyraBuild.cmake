# Build settings shared by the three trees.
find_package(Threads REQUIRED)

# Everything lands in one folder so that Windows-side tests find Launcher.exe beside them.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# nlohmann::json from Debian. The MinGW compilers must see only the nlohmann headers, never the
# host's /usr/include, so those builds get a private copy of that one folder.
add_library(nyra_json INTERFACE)
if(CMAKE_CROSSCOMPILING)
  set(_json_root ${CMAKE_BINARY_DIR}/third_party/include)
  file(COPY /usr/include/nlohmann DESTINATION ${_json_root})
  target_include_directories(nyra_json SYSTEM INTERFACE ${_json_root})
else()
  find_package(nlohmann_json 3.11 REQUIRED)
  target_link_libraries(nyra_json INTERFACE nlohmann_json::nlohmann_json)
endif()

# Off only for trees that measure speed (scripts/bench-relay's stand-in service).
option(NYRA_NATIVE_SANITIZERS "ASan and UBSan on the native tree's own code" ON)
# The native-tsan tree: ThreadSanitizer instead (it cannot be combined with ASan).
option(NYRA_NATIVE_THREAD_SANITIZER "ThreadSanitizer on the native tree's own code" OFF)
if(NOT CMAKE_CROSSCOMPILING AND NYRA_NATIVE_THREAD_SANITIZER)
  set(NYRA_SANITIZE -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT CMAKE_CROSSCOMPILING AND NYRA_NATIVE_SANITIZERS)
  set(NYRA_SANITIZE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
endif()

# Warnings as errors and the sanitizers apply to the project's own code only.
function(nyra_project_target target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wnon-virtual-dtor
    -Wold-style-cast -Wcast-qual -Wformat=2 -Wimplicit-fallthrough -Werror
    ${NYRA_SANITIZE})
  target_link_options(${target} PRIVATE ${NYRA_SANITIZE})
endfunction()

# Subsystems whose Windows tests use the stand-in service (faults, or launchers that talk to it).
set(NYRA_STAND_IN_SUBSYSTEMS core net content state ui app relay session update home)

function(nyra_add_tests)
  include(GoogleTest)
  if(CMAKE_CROSSCOMPILING)
    if(NOT WIN32)
      return()
    endif()
    # GoogleTest for MinGW is built from Debian's sources.
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    set(gtest_targets GTest::gtest GTest::gmock)
    set(test_glob tests/win/*.cpp)
    set(test_lib nyra_win)
  else()
    find_package(GTest REQUIRED)
    set(gtest_targets GTest::gtest GTest::gmock)
    set(test_glob tests/*.cpp)
    set(test_lib nyra_portable)
  endif()

  foreach(subsystem IN LISTS NYRA_SUBSYSTEMS)
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${subsystem}/${test_glob})
    if(NOT sources)
      continue()
    endif()
    set(target ${subsystem}_tests)
    add_executable(${target} ${sources} ${CMAKE_SOURCE_DIR}/cmake/test_main.cpp)
    target_link_libraries(${target} PRIVATE ${test_lib} ${gtest_targets})
    target_compile_definitions(${target} PRIVATE
      NYRA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    nyra_project_target(${target})
    # A subsystem may add what its tests alone need (a reference library, data files).
    if(EXISTS ${CMAKE_SOURCE_DIR}/${subsystem}/tests/tests.cmake)
      include(${CMAKE_SOURCE_DIR}/${subsystem}/tests/tests.cmake)
    endif()
    if(CMAKE_CROSSCOMPILING)
      # Each case runs in its own Wine process; discovery happens at test time so that the
      # build never needs Wine.
      # The stand-in service is one process for the whole run and its faults are global, so the
      # subsystems whose tests set faults or start launchers that talk to it share one lock. One
      # name only: the discovered tests' properties are name/value pairs, a list would split.
      set(lock wine_${subsystem})
      if(subsystem IN_LIST NYRA_STAND_IN_SUBSYSTEMS)
        set(lock stand_in_service)
      endif()
      gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
        PROPERTIES RESOURCE_LOCK ${lock} TIMEOUT 120)
    else()
      gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
    endif()
    if(CMAKE_CROSSCOMPILING)
      add_dependencies(${target} Launcher)
    endif()
  endforeach()

  if(NOT CMAKE_CROSSCOMPILING)
    # The split between portable rules and the Win32 shell is checked, not just promised.
    add_test(NAME portable_sources_never_include_windows_headers
      COMMAND ${CMAKE_COMMAND} -DROOT=${CMAKE_SOURCE_DIR} "-DSUBSYSTEMS=${NYRA_SUBSYSTEMS}"
              -P ${CMAKE_SOURCE_DIR}/cmake/CheckPortable.cmake)
    add_test(NAME includes_point_down_the_layers
      COMMAND ${CMAKE_COMMAND} -DROOT=${CMAKE_SOURCE_DIR} "-DSUBSYSTEMS=${NYRA_SUBSYSTEMS}"
              -P ${CMAKE_SOURCE_DIR}/cmake/CheckLayers.cmake)
  endif()
endfunction()
