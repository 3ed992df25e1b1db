# Common compile settings for all project targets.

set(Q407_WARNINGS -Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion -Wno-sign-conversion)

# Plain user-mode library or program (tools, emulation, tests; in the Windows build the user-mode
# deliverables, against the Win32 headers).
function(q407_user_target target)
  target_compile_options(${target} PRIVATE ${Q407_WARNINGS})
  if(Q407_REAL_KITS)
    q407_windows_user_code(${target})
  endif()
endfunction()

# Kernel-mode code: no exceptions, no RTTI, as the real kernel build. In the Windows build it
# compiles against the kit headers with the kernel's code-generation rules (cmake/Q407Windows.cmake).
# Kit-style static tables initialise GUID members from their STATIC_ numbers without inner
# braces, so clang's missing-braces report is off for kernel code.
function(q407_kernel_target target)
  target_compile_options(${target} PRIVATE ${Q407_WARNINGS} -Wno-missing-braces -fno-exceptions
                                           -fno-rtti)
  if(Q407_REAL_KITS)
    q407_windows_kernel_code(${target})
  endif()
endfunction()

# Under the sanitizers the build is slow and the code under test is what must run fast: code that
# only drives it or reports on it (tests, the commands' option and report code) is compiled without
# optimisation there, which halves its build time and leaves the code under test as it was.
option(Q407_QUICK_DRIVER_CODE "Compile tests and command code without optimisation" OFF)
function(q407_quick_build target)
  if(Q407_QUICK_DRIVER_CODE)
    target_compile_options(${target} PRIVATE -O0)
  endif()
endfunction()

# A GoogleTest executable registered with CTest.
#   q407_add_test(NAME test_x SOURCES a.cpp b.cpp LIBS lib1 lib2 [TIMEOUT seconds])
# Each test case may take 300 s unless TIMEOUT says otherwise (long virtual-time runs under the
# sanitizers).
function(q407_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  q407_user_target(${T_NAME})
  q407_quick_build(${T_NAME})
  # A machine someone runs on the default socket stays out of the tests: the commands find none.
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${T_TIMEOUT}
                       ENVIRONMENT "Q407_MACHINE=${CMAKE_BINARY_DIR}/tests/no-machine.sock")
endfunction()

# A libFuzzer target.
function(q407_add_fuzzer name)
  add_executable(${name} ${ARGN})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  q407_user_target(${name})
endfunction()

if(Q407_REAL_KITS)
  include(${CMAKE_CURRENT_LIST_DIR}/Q407Windows.cmake)
else()
  find_package(Threads REQUIRED)
endif()
