# Build settings shared by the three trees.
find_package(Threads REQUIRED)

# Everything lands in one folder so that Windows-side tests find Launcher.exe beside them.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# Reproducible output: two builds of one commit, in any two folders, give the same bytes. Paths of
# the checkout and of the tree never reach an object (the tree's mapping is checked first, as it
# may lie inside the checkout); archives carry no dates, owners or modes; the linker writes no
# time stamp; inputs come in a fixed order (globs are sorted).
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.;-ffile-prefix-map=${CMAKE_BINARY_DIR}=.>")
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()

# Shipped executables carry an Authenticode signature (scripts/sign-executable): the linker writes
# the unsigned file under unsigned/, the signature step writes the one in bin/. It runs after every
# link and once more in every full build, because the signing time follows the commit even when the
# code, and so the link, did not change. The build signs with the TEST certificate of tools/dev-keys
# unless these name others; scripts/release signs the release with the certificate it is given.
set(NYRA_CODESIGN_CERT "" CACHE FILEPATH "Code-signing certificate (PEM); empty: the development TEST certificate")
set(NYRA_CODESIGN_KEY "" CACHE FILEPATH "Its private key (PEM)")
function(nyra_signed_executable target)
  get_target_property(bin_dir ${target} RUNTIME_OUTPUT_DIRECTORY)
  if(NOT bin_dir)
    set(bin_dir ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  endif()
  file(RELATIVE_PATH sub ${CMAKE_BINARY_DIR} ${bin_dir})
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/unsigned/${sub})
  set(sign ${CMAKE_SOURCE_DIR}/scripts/sign-executable)
  if(NYRA_CODESIGN_CERT OR NYRA_CODESIGN_KEY)
    list(APPEND sign --cert ${NYRA_CODESIGN_CERT} --key ${NYRA_CODESIGN_KEY})
  endif()
  set(command ${CMAKE_COMMAND} -E make_directory ${bin_dir}
    COMMAND ${sign} $<TARGET_FILE:${target}> ${bin_dir}/$<TARGET_FILE_NAME:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD COMMAND ${command} VERBATIM)
  add_custom_target(${target}-signature ALL COMMAND ${command} DEPENDS ${target} VERBATIM)
endfunction()

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
