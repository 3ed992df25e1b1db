# Win32 programs built against Wine's own Win32 (winelib) so that the control panel and its test
# programs run on the bench, plus the registration of tests that drive them under Wine and Xvfb.
# Included from the top CMakeLists when Q407_BUILD_WINELIB is ON.
#
# q407_winelib_library(NAME SOURCES src... [INCLUDES dir...])
#   A static archive of objects compiled by wineg++ (-std=c++20 -DQ407_WINELIB -DNOMINMAX
#   -DUNICODE -D_UNICODE, the project's warnings as errors, no sanitizer flags in any preset).
#   The project root is always an include dir. Defines the custom target NAME; the archive path
#   is its property Q407_WINELIB_ARCHIVE and the variable NAME_ARCHIVE (caller's scope).
#
# q407_winelib_program(NAME SOURCES src... [LIBRARIES winelib-libs...] [LINUX_SOURCES src...]
#                      [LINUX_LIBRARIES targets...] [RESOURCES file.rc...] [RC_INCLUDES dir...]
#                      [DEPENDS targets...] [WIN32_LIBS gdi32 user32 ...] [INCLUDES dir...])
#   Builds ${CMAKE_CURRENT_BINARY_DIR}/NAME.exe.so (entry point wWinMain, GUI subsystem).
#   LIBRARIES are archives of q407_winelib_library. LINUX_SOURCES are compiled by the host g++
#   (-std=c++20 -fPIC -O1, no sanitizers, the project's warnings) into the static library
#   NAME_linux and linked in; LINUX_LIBRARIES are further plain static libraries built the same
#   way (they too must be compiled with -fPIC and without sanitizers). RESOURCES are compiled by
#   wrc with RC_INCLUDES as include dirs. Defines the custom target NAME; the program's path is
#   its property Q407_WINELIB_OUTPUT and the variable NAME_OUTPUT (caller's scope). Run it with
#   ${Q407_WINE_LOADER} (the wine64 loader), never the launcher script next to it.
#
# q407_add_wine_test(NAME test SOURCES src... [LIBS targets...] [PROGRAMS winelib-programs...]
#                    [TIMEOUT seconds])
#   A GoogleTest executable that drives winelib programs through WineSession
#   (tests/support/wine/wine_session.h). Registered as ONE CTest test (one Xvfb and one Wine
#   prefix per test process), labelled "wine", with a hard timeout (default 120 s). Each program P
#   of PROGRAMS is built first and its path reaches the test as the string macro
#   Q407_WINE_PROGRAM_P (so a program's name must be a C identifier). The template prefix is
#   made once per build dir (target q407_wine_prefix, under ${CMAKE_BINARY_DIR}/wine/).

set(Q407_WINE_TOOLS_DIR "/usr/lib/wine" CACHE PATH "Folder of wineg++, wrc, wine64 and wineserver")
find_program(Q407_WINEGXX wineg++ HINTS ${Q407_WINE_TOOLS_DIR} REQUIRED)
find_program(Q407_WRC wrc HINTS ${Q407_WINE_TOOLS_DIR} REQUIRED)
find_program(Q407_WINE_LOADER wine64 HINTS ${Q407_WINE_TOOLS_DIR} REQUIRED)
find_program(Q407_WINESERVER wineserver HINTS ${Q407_WINE_TOOLS_DIR} REQUIRED)

set(Q407_WINELIB_FLAGS -std=c++20 -DQ407_WINELIB -DNOMINMAX -DUNICODE -D_UNICODE
                       ${Q407_WARNINGS} -g)
if(CMAKE_BUILD_TYPE STREQUAL "Debug")
  list(APPEND Q407_WINELIB_FLAGS -O0)
else()
  list(APPEND Q407_WINELIB_FLAGS -O2)
endif()

# wineg++ finds winegcc and winebuild on PATH.
set(Q407_WINE_ENV ${CMAKE_COMMAND} -E env "PATH=${Q407_WINE_TOOLS_DIR}:$ENV{PATH}")

# Compiles SOURCES with wineg++ into objects under OBJ_DIR; the object paths in OUT_VAR.
function(_q407_winelib_objects OUT_VAR OBJ_DIR)
  cmake_parse_arguments(O "" "" "SOURCES;INCLUDES" ${ARGN})
  set(includes -I${PROJECT_SOURCE_DIR})
  foreach(dir IN LISTS O_INCLUDES)
    list(APPEND includes -I${dir})
  endforeach()
  set(objects "")
  foreach(src IN LISTS O_SOURCES)
    get_filename_component(abs "${src}" ABSOLUTE)
    file(RELATIVE_PATH rel "${PROJECT_SOURCE_DIR}" "${abs}")
    string(REGEX REPLACE "[/.]" "_" stem "${rel}")
    set(obj "${OBJ_DIR}/${stem}.o")
    add_custom_command(
      OUTPUT "${obj}"
      COMMAND ${Q407_WINE_ENV} ${Q407_WINEGXX} ${Q407_WINELIB_FLAGS} ${includes} -MD -MF
              "${obj}.d" -c "${abs}" -o "${obj}"
      DEPENDS "${abs}"
      DEPFILE "${obj}.d"
      COMMENT "wineg++ ${rel}"
      COMMAND_EXPAND_LISTS VERBATIM)
    list(APPEND objects "${obj}")
  endforeach()
  set(${OUT_VAR} ${objects} PARENT_SCOPE)
endfunction()

function(q407_winelib_library NAME)
  cmake_parse_arguments(L "" "" "SOURCES;INCLUDES" ${ARGN})
  set(obj_dir "${CMAKE_CURRENT_BINARY_DIR}/${NAME}.winelib")
  _q407_winelib_objects(objects "${obj_dir}" SOURCES ${L_SOURCES} INCLUDES ${L_INCLUDES})
  set(archive "${CMAKE_CURRENT_BINARY_DIR}/lib${NAME}.a")
  add_custom_command(
    OUTPUT "${archive}"
    COMMAND ${CMAKE_COMMAND} -E rm -f "${archive}"
    COMMAND ${CMAKE_AR} qcs "${archive}" ${objects}
    DEPENDS ${objects}
    COMMENT "winelib archive ${NAME}"
    VERBATIM)
  add_custom_target(${NAME} DEPENDS "${archive}")
  set_target_properties(${NAME} PROPERTIES Q407_WINELIB_ARCHIVE "${archive}")
  set(${NAME}_ARCHIVE "${archive}" PARENT_SCOPE)
endfunction()

# Plain host code inside a winelib program: position-independent, no sanitizer runtime (the
# program is linked by wineg++, which brings none).
function(q407_winelib_linux_code target)
  target_compile_options(${target} PRIVATE ${Q407_WARNINGS} -fPIC -O1 -fno-sanitize=all)
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()

function(q407_winelib_program NAME)
  cmake_parse_arguments(P "" ""
                        "SOURCES;LIBRARIES;LINUX_SOURCES;LINUX_LIBRARIES;RESOURCES;RC_INCLUDES;DEPENDS;WIN32_LIBS;INCLUDES"
                        ${ARGN})
  set(obj_dir "${CMAKE_CURRENT_BINARY_DIR}/${NAME}.winelib")
  _q407_winelib_objects(objects "${obj_dir}" SOURCES ${P_SOURCES} INCLUDES ${P_INCLUDES})

  set(resources "")
  set(rc_includes -I${PROJECT_SOURCE_DIR} -I${CMAKE_CURRENT_SOURCE_DIR})
  foreach(dir IN LISTS P_RC_INCLUDES)
    list(APPEND rc_includes -I${dir})
  endforeach()
  foreach(rc IN LISTS P_RESOURCES)
    get_filename_component(abs "${rc}" ABSOLUTE)
    get_filename_component(stem "${rc}" NAME_WE)
    set(res "${obj_dir}/${stem}.res")
    add_custom_command(
      OUTPUT "${res}"
      COMMAND ${Q407_WINE_ENV} ${Q407_WRC} -DQ407_WINELIB ${rc_includes} -o "${res}" "${abs}"
      DEPENDS "${abs}" ${P_DEPENDS}
      COMMENT "wrc ${stem}.rc"
      COMMAND_EXPAND_LISTS VERBATIM)
    list(APPEND resources "${res}")
  endforeach()

  set(link_libs "")
  set(link_depends "")
  foreach(lib IN LISTS P_LIBRARIES)
    list(APPEND link_libs "$<TARGET_PROPERTY:${lib},Q407_WINELIB_ARCHIVE>")
    list(APPEND link_depends ${lib} "$<TARGET_PROPERTY:${lib},Q407_WINELIB_ARCHIVE>")
  endforeach()
  if(P_LINUX_SOURCES)
    add_library(${NAME}_linux STATIC ${P_LINUX_SOURCES})
    target_include_directories(${NAME}_linux PRIVATE ${PROJECT_SOURCE_DIR})
    q407_winelib_linux_code(${NAME}_linux)
    list(APPEND P_LINUX_LIBRARIES ${NAME}_linux)
  endif()
  foreach(lib IN LISTS P_LINUX_LIBRARIES)
    list(APPEND link_libs "$<TARGET_FILE:${lib}>")
    list(APPEND link_depends ${lib})
  endforeach()
  set(win32_libs "")
  foreach(lib IN LISTS P_WIN32_LIBS)
    list(APPEND win32_libs -l${lib})
  endforeach()

  set(output "${CMAKE_CURRENT_BINARY_DIR}/${NAME}.exe.so")
  # The winelib libraries twice: archives may call each other in either order.
  add_custom_command(
    OUTPUT "${output}"
    COMMAND ${Q407_WINE_ENV} ${Q407_WINEGXX} -municode -mwindows -o
            "${CMAKE_CURRENT_BINARY_DIR}/${NAME}.exe" ${objects} ${resources} ${link_libs}
            ${link_libs} ${win32_libs} -lpthread
    DEPENDS ${objects} ${resources} ${link_depends} ${P_DEPENDS}
    COMMENT "winelib program ${NAME}"
    COMMAND_EXPAND_LISTS VERBATIM)
  add_custom_target(${NAME} ALL DEPENDS "${output}")
  if(P_DEPENDS)
    add_dependencies(${NAME} ${P_DEPENDS})
  endif()
  foreach(lib IN LISTS P_LIBRARIES)
    add_dependencies(${NAME} ${lib})
  endforeach()
  set_target_properties(${NAME} PROPERTIES Q407_WINELIB_OUTPUT "${output}")
  set(${NAME}_OUTPUT "${output}" PARENT_SCOPE)
endfunction()

# The template Wine prefix every test run copies: made once per build dir (wineboot takes about
# 20 s), with a virtual desktop so that hiding or destroying a window does not wait for a window
# manager that Xvfb does not have.
set(Q407_WINE_DIR "${CMAKE_BINARY_DIR}/wine")
set(Q407_WINE_TEMPLATE_PREFIX "${Q407_WINE_DIR}/template-prefix")
add_custom_command(
  OUTPUT "${Q407_WINE_DIR}/template-prefix.stamp"
  COMMAND ${CMAKE_COMMAND} -E env "WINE_LOADER=${Q407_WINE_LOADER}"
          "WINESERVER=${Q407_WINESERVER}" sh "${PROJECT_SOURCE_DIR}/cmake/make_wine_prefix.sh"
          "${Q407_WINE_TEMPLATE_PREFIX}" "${Q407_WINE_DIR}/template-prefix.stamp"
  DEPENDS "${PROJECT_SOURCE_DIR}/cmake/make_wine_prefix.sh"
  COMMENT "Wine template prefix"
  VERBATIM)
add_custom_target(q407_wine_prefix DEPENDS "${Q407_WINE_DIR}/template-prefix.stamp")

function(q407_add_wine_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;PROGRAMS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} q407_wine_session GTest::gtest
                                          GTest::gtest_main Threads::Threads)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  q407_user_target(${T_NAME})
  add_dependencies(${T_NAME} q407_wine_prefix)
  foreach(program IN LISTS T_PROGRAMS)
    target_compile_definitions(
      ${T_NAME} PRIVATE "Q407_WINE_PROGRAM_${program}=\"$<TARGET_PROPERTY:${program},Q407_WINELIB_OUTPUT>\"")
    add_dependencies(${T_NAME} ${program})
  endforeach()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(
    ${T_NAME}
    PROPERTIES LABELS wine TIMEOUT ${T_TIMEOUT}
               ENVIRONMENT "Q407_MACHINE=${CMAKE_BINARY_DIR}/tests/no-machine.sock")
endfunction()
