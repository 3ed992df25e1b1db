# The control panel's sources and the three ways they compile:
#   plain   host g++ (debug, asan, tsan): the files that call no window, GDI or registry function
#           (device layer through platform/user/device_access.h, settings records, plain
#           models); library q407_panel_plain, which the gtest tests link.
#   winelib wineg++ (bench): every file; archive q407_panel_winelib for q407_winelib_program
#           (LIBRARIES q407_panel_winelib q407_device_bridge
#            LINUX_LIBRARIES q407_device_bridge_linux).
#   windows mingw-w64 (windows preset): every file; static library Q407PanObjects, which the
#           panel's image links.
# Each folder of the panel (platform/framework, panel/app, panel/widgets) hands its files over in
# its CMakeLists.txt:
#   q407_panel_sources(PLAIN model.cpp ... WIN32 view.cpp ...)
# The libraries are made in panel/CMakeLists.txt, after every folder has listed its files.
function(q407_panel_sources)
  cmake_parse_arguments(P "" "" "PLAIN;WIN32" ${ARGN})
  foreach(kind PLAIN WIN32)
    foreach(src IN LISTS P_${kind})
      get_filename_component(abs "${src}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      set_property(GLOBAL APPEND PROPERTY Q407_PANEL_${kind}_SOURCES "${abs}")
    endforeach()
  endforeach()
endfunction()
