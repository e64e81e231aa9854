# The Windows-side UI tests run the real Launcher.exe (previews, the window) with the shared
# launcher harness and draw with the art and fonts carried in Launcher.exe's resources; the news
# tests run against the stand-in service through the shared fixture.
if(CMAKE_CROSSCOMPILING)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/app/tests/win/launcher_harness.cpp
                 ${CMAKE_SOURCE_DIR}/net/tests/win/service_fixture.cpp)
  # The rendering benchmark (not a test): see BENCHMARKS.md.
  add_executable(ui_render_bench ${CMAKE_SOURCE_DIR}/tools/bench/render_bench.cpp
                 ${CMAKE_SOURCE_DIR}/app/tests/win/launcher_harness.cpp)
  target_link_libraries(ui_render_bench PRIVATE nyra_win)
  nyra_project_target(ui_render_bench)
  add_dependencies(ui_render_bench Launcher)
endif()
