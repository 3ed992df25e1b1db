# The Windows build: code-generation rules for kernel and user-mode code against the real kits,
# and one function per kind of image. Each image also writes a description of itself
# (images/NAME.image in the build folder) that scripts/windows_checks.sh checks the image
# against: kind, file, allowed import libraries, exports.

# The kit headers decide widths and names from these; the two InterlockedBitTest defines avoid a
# clash between wdm.h and the compiler's intrinsics header in C++.
set(Q407_KIT_DEFINES
    Q407_REAL_KITS
    _AMD64_
    NTDDI_VERSION=0x0A000000
    _WIN32_WINNT=0x0A00
    WINVER=0x0A00)
# Nothing links the C++ run time into a kernel image: no exceptions, RTTI, thread-safe statics
# or sized delete; no red zone (interrupts use the kernel stack); no stack protector (it needs a
# cookie the loader would have to set up); the kernel's code does not rely on strict aliasing.
# Kit-style code initialises GUIDs in tables from their numbers without inner braces, and the
# port-class kit's creation macros write pool tags as multi-character literals.
set(Q407_KERNEL_CODE_OPTIONS
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-sized-deallocation -ffreestanding
    -mno-red-zone -fno-stack-protector -fno-strict-aliasing -fms-extensions
    -ffunction-sections -fdata-sections
    -Wno-language-extension-token -Wno-microsoft-anon-tag -Wno-gnu-anonymous-struct
    -Wno-nested-anon-types -Wno-missing-braces -Wno-multichar)
set(Q407_KERNEL_CODE_DEFINES
    ${Q407_KIT_DEFINES}
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset)

# No default Win32 libraries: kernel images import only what they name, user images likewise.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)

function(q407_windows_kernel_code target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_compile_definitions(${target} INTERFACE ${Q407_KERNEL_CODE_DEFINES})
    target_include_directories(${target} SYSTEM INTERFACE ${Q407_MINGW_DDK})
    return()
  endif()
  target_compile_options(${target} PRIVATE ${Q407_KERNEL_CODE_OPTIONS})
  target_compile_definitions(${target} PUBLIC ${Q407_KERNEL_CODE_DEFINES})
  target_include_directories(${target} SYSTEM PUBLIC ${Q407_MINGW_DDK})
endfunction()

function(q407_windows_user_code target)
  target_compile_definitions(${target} PUBLIC ${Q407_KIT_DEFINES} UNICODE _UNICODE NOMINMAX
                                              WIN32_LEAN_AND_MEAN)
endfunction()

# The import library of a kit DLL (libNAME.a of mingw-w64).
function(q407_kit_import_library out name)
  find_library(Q407_IMPLIB_${name} NAMES lib${name}.a PATHS ${Q407_MINGW_SYSROOT}/lib
               NO_DEFAULT_PATH REQUIRED)
  set(${out} ${Q407_IMPLIB_${name}} PARENT_SCOPE)
endfunction()

# An import library generated from a .def, for DLLs mingw-w64 ships none for (portcls.sys).
function(q407_def_import_library out def)
  get_filename_component(base ${def} NAME_WE)
  set(lib ${CMAKE_CURRENT_BINARY_DIR}/lib${base}.a)
  add_custom_command(OUTPUT ${lib}
                     COMMAND ${CMAKE_DLLTOOL} -d ${def} -l ${lib} -m i386:x86-64
                     DEPENDS ${def} VERBATIM)
  add_custom_target(implib_${base} DEPENDS ${lib})
  set(${out} ${lib} PARENT_SCOPE)
endfunction()

# The names a .def exports (its indented lines).
function(q407_def_exports out def)
  set(names "")
  file(STRINGS ${def} lines)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# inputs: the image's own objects and the project libraries linked into it (checked for
# constructors and hosted headers).
function(q407_write_image_description name kind implibs exports libs traces)
  list(JOIN implibs "," implib_list)
  list(JOIN exports "," export_list)
  set(inputs "$<JOIN:$<TARGET_OBJECTS:${name}>,,>")
  foreach(lib IN LISTS libs)
    if(TARGET ${lib})
      string(APPEND inputs ",$<TARGET_FILE:${lib}>")
    endif()
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/images/${name}.image
       CONTENT "name=${name}\nkind=${kind}\nfile=$<TARGET_FILE:${name}>\nimplibs=${implib_list}\nexports=${export_list}\ninputs=${inputs}\n${traces}")
endfunction()

# A kernel-mode driver image (NAME.sys): native subsystem, entry DriverEntry, no exports, imports
# only from the kit libraries named in IMPORTS (ntoskrnl hal usbd ks ...) and from import
# libraries generated from IMPORT_DEFS. LIBS link as usual, keeping what DriverEntry reaches;
# WHOLE_LIBS link every object and keep every routine (for code no entry reaches yet).
# ENTRY_TRACE and UNLOAD_TRACE are the texts the driver traces from DriverEntry and its unload
# routine; the Wine smoke run looks for them. EXPORT_DEF makes an export driver exporting exactly
# what the .def lists; TEST_TOOL marks an image the checks use that the package leaves out (the
# Wine run installs it beside the drivers without starting it).
#   q407_windows_kernel_image(NAME Q407DRV SOURCES entry.cpp LIBS q407_engine
#                             IMPORTS ntoskrnl hal usbd ENTRY_TRACE "..." UNLOAD_TRACE "...")
function(q407_windows_kernel_image)
  cmake_parse_arguments(K "TEST_TOOL" "NAME;ENTRY_TRACE;UNLOAD_TRACE;EXPORT_DEF"
                        "SOURCES;LIBS;WHOLE_LIBS;IMPORTS;IMPORT_DEFS" ${ARGN})
  add_library(${K_NAME} SHARED ${K_SOURCES} ${K_EXPORT_DEF})
  set_target_properties(${K_NAME} PROPERTIES PREFIX "" SUFFIX ".sys" OUTPUT_NAME ${K_NAME})
  q407_kernel_target(${K_NAME})
  target_link_libraries(${K_NAME} PRIVATE ${K_LIBS})
  set(gc -Wl,--gc-sections)
  if(K_WHOLE_LIBS)
    # Their objects go in directly (a library that depends on another whole library would
    # otherwise name it twice); the libraries still bring their usage requirements, and nothing
    # is pulled from their archives twice since every object is already in.
    foreach(lib IN LISTS K_WHOLE_LIBS)
      target_sources(${K_NAME} PRIVATE $<TARGET_OBJECTS:${lib}>)
      target_link_libraries(${K_NAME} PRIVATE ${lib})
    endforeach()
    set(gc "")
  endif()
  set(implibs "")
  foreach(name IN LISTS K_IMPORTS)
    q407_kit_import_library(lib ${name})
    list(APPEND implibs ${lib})
  endforeach()
  foreach(def IN LISTS K_IMPORT_DEFS)
    q407_def_import_library(lib ${def})
    get_filename_component(base ${def} NAME_WE)
    add_dependencies(${K_NAME} implib_${base})
    list(APPEND implibs ${lib})
  endforeach()
  target_link_libraries(${K_NAME} PRIVATE ${implibs} ${Q407_MINGW_LIBGCC})
  # --exclude-all-symbols: -shared would otherwise export every symbol. --gc-sections drops what
  # nothing reaches from DriverEntry, so the entry must reach everything the driver ships.
  target_link_options(${K_NAME} PRIVATE
      -nostdlib -nostartfiles
      -Wl,--subsystem,native:10.0 -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000
      -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va -Wl,--exclude-all-symbols
      ${gc} -Wl,--no-insert-timestamp)
  set(exports "")
  if(K_EXPORT_DEF)
    q407_def_exports(exports ${K_EXPORT_DEF})
  endif()
  set(extra "entry_trace=${K_ENTRY_TRACE}\nunload_trace=${K_UNLOAD_TRACE}\n")
  if(K_TEST_TOOL)
    string(APPEND extra "ship=no\n")
  endif()
  q407_write_image_description(${K_NAME} kernel "${implibs}" "${exports}"
                               "${K_LIBS};${K_WHOLE_LIBS}" "${extra}")
endfunction()

# A user-mode image: KIND dll (exports exactly those of DEF), gui (a Win32 program) or console.
# TEST_TOOL marks a program the checks run that the package leaves out.
# SYSTEM_LIBS names the Win32 import libraries it may import from (ole32 uuid setupapi ...); the
# C run time's (msvcrt, kernel32) are always allowed. The C++ run time links in statically.
#   q407_windows_user_image(NAME Q407Asio KIND dll SOURCES ... DEF Q407Asio.def LIBS ...
#                           SYSTEM_LIBS ole32 uuid setupapi)
function(q407_windows_user_image)
  cmake_parse_arguments(U "TEST_TOOL" "NAME;KIND;DEF" "SOURCES;RESOURCES;LIBS;SYSTEM_LIBS" ${ARGN})
  if(U_KIND STREQUAL "dll")
    add_library(${U_NAME} SHARED ${U_SOURCES} ${U_RESOURCES} ${U_DEF})
    set_target_properties(${U_NAME} PROPERTIES PREFIX "" OUTPUT_NAME ${U_NAME})
    target_link_options(${U_NAME} PRIVATE -Wl,--subsystem,windows)
  else()
    add_executable(${U_NAME} ${U_SOURCES} ${U_RESOURCES})
    set_target_properties(${U_NAME} PROPERTIES OUTPUT_NAME ${U_NAME})
    if(U_KIND STREQUAL "gui")
      target_link_options(${U_NAME} PRIVATE -mwindows -municode)
    else()
      target_link_options(${U_NAME} PRIVATE -mconsole -municode)
    endif()
  endif()
  q407_user_target(${U_NAME})
  set(implibs "")
  foreach(name IN LISTS U_SYSTEM_LIBS ITEMS msvcrt kernel32)
    q407_kit_import_library(lib ${name})
    list(APPEND implibs ${lib})
  endforeach()
  list(REMOVE_DUPLICATES implibs)
  target_link_libraries(${U_NAME} PRIVATE ${U_LIBS} ${implibs})
  target_link_options(${U_NAME} PRIVATE
      -static -static-libgcc -static-libstdc++
      -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va -Wl,--no-insert-timestamp)
  set(exports "")
  if(U_DEF)
    q407_def_exports(exports ${U_DEF})
  endif()
  set(extra "")
  if(U_TEST_TOOL)
    set(extra "ship=no\n")
  endif()
  q407_write_image_description(${U_NAME} ${U_KIND} "${implibs}" "${exports}" "${U_LIBS}" "${extra}")
endfunction()
