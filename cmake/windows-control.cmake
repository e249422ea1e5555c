# The Windows control KDRCtrl.ocx: type library, the ActiveX object around the
# portable controller, registration, samples and the test programs that run
# under Wine. Included from the top-level CMakeLists.txt on Windows targets.

enable_language(RC)
option(KDR_WINDOWS_TESTS "Build the Windows test programs (run under Wine)" ON)

# Every Windows binary stands alone: no runtime DLLs of the compiler beside it.
add_library(kdr_win_static INTERFACE)
target_link_options(kdr_win_static INTERFACE -static -static-libgcc -static-libstdc++
  $<$<CONFIG:Release,MinSizeRel>:-s>)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The exports of a .def file lose their stdcall @n suffix.
  target_link_options(kdr_win_static INTERFACE -Wl,--enable-stdcall-fixup)
endif()

# COM interfaces have no virtual destructor by design: objects are destroyed
# by their own Release, never through an interface pointer.
# The COM code gets every other warning of kdr_warnings.
get_target_property(kdr_com_warning_flags kdr_warnings INTERFACE_COMPILE_OPTIONS)
list(REMOVE_ITEM kdr_com_warning_flags -Wnon-virtual-dtor)
add_library(kdr_com_warnings INTERFACE)
target_compile_options(kdr_com_warnings INTERFACE ${kdr_com_warning_flags})

# ---- Type library --------------------------------------------------------
if(NOT KDR_WIDL)
  find_program(KDR_WIDL NAMES ${KDR_MINGW_TRIPLE}-widl widl REQUIRED)
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(kdr_widl_arch --win64)
  set(kdr_wine_dirs /usr/lib/x86_64-linux-gnu/wine/x86_64-windows
                    /usr/lib/i386-linux-gnu/wine/i386-windows)
else()
  set(kdr_widl_arch --win32)
  set(kdr_wine_dirs /usr/lib/i386-linux-gnu/wine/i386-windows
                    /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
endif()
# mingw-w64 ships no IDL files; Wine's development files carry them, and Wine
# itself stdole2.tlb, which the library imports.
find_path(KDR_WINE_IDL_DIR oaidl.idl PATHS /usr/include/wine/wine/windows NO_DEFAULT_PATH
  NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_path(KDR_STDOLE_DIR stdole2.tlb PATHS ${kdr_wine_dirs} NO_DEFAULT_PATH
  NO_CMAKE_FIND_ROOT_PATH REQUIRED)

set(KDR_IDL_OUT ${CMAKE_BINARY_DIR}/idl)
file(MAKE_DIRECTORY ${KDR_IDL_OUT})
set(kdr_idl ${CMAKE_SOURCE_DIR}/registration/KDRCtrl.idl)
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_custom_command(
  OUTPUT ${KDR_IDL_OUT}/KDRCtrl.tlb ${KDR_IDL_OUT}/KDRCtrl_h.h ${KDR_IDL_OUT}/KDRCtrl_i.c
  COMMAND ${KDR_WIDL} ${kdr_widl_arch} -I${CMAKE_SOURCE_DIR}/registration -I${KDR_WINE_IDL_DIR}
          -L${KDR_STDOLE_DIR} -t -h -u
          -T ${KDR_IDL_OUT}/KDRCtrl.widl.tlb -H ${KDR_IDL_OUT}/KDRCtrl_h.h
          -U ${KDR_IDL_OUT}/KDRCtrl_i.c ${kdr_idl}
  # The library's published type order.
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/registration/order_typelib.py
          ${KDR_IDL_OUT}/KDRCtrl.widl.tlb ${KDR_IDL_OUT}/KDRCtrl.tlb
          _KDRController,KDRController,_General,General,__KDRController
  DEPENDS ${kdr_idl} ${CMAKE_SOURCE_DIR}/registration/kdrctrl_ids.h
          ${CMAKE_SOURCE_DIR}/registration/order_typelib.py
  COMMENT "widl: type library KDRCtrl"
  VERBATIM)
add_custom_target(kdr_idl DEPENDS ${KDR_IDL_OUT}/KDRCtrl.tlb ${KDR_IDL_OUT}/KDRCtrl_h.h
  ${KDR_IDL_OUT}/KDRCtrl_i.c)

# The generated header and GUID definitions for every user of the interface.
add_library(kdr_typelib INTERFACE)
target_include_directories(kdr_typelib SYSTEM INTERFACE ${KDR_IDL_OUT})
add_dependencies(kdr_typelib kdr_idl)

add_subdirectory(${CMAKE_SOURCE_DIR}/control/activex ${CMAKE_BINARY_DIR}/control/activex)
add_subdirectory(${CMAKE_SOURCE_DIR}/registration ${CMAKE_BINARY_DIR}/registration)
add_subdirectory(${CMAKE_SOURCE_DIR}/samples ${CMAKE_BINARY_DIR}/samples)
if(KDR_WINDOWS_TESTS)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/windows ${CMAKE_BINARY_DIR}/tests/windows)
endif()

# ---- Release package ------------------------------------------------------
# `cmake --build --preset mingw32 --target package` (or mingw64) makes
# KDRCtrl-1.01-windows.zip in the build tree from both builds: this one and
# the other architecture's preset, configured and built when needed.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(kdr_package_arches ARCH=x64 OTHER_ARCH=x86 OTHER_PRESET=mingw32)
else()
  set(kdr_package_arches ARCH=x86 OTHER_ARCH=x64 OTHER_PRESET=mingw64)
endif()
list(TRANSFORM kdr_package_arches PREPEND -D)
set(KDR_WINDOWS_PACKAGE ${CMAKE_BINARY_DIR}/KDRCtrl-${PROJECT_VERSION}-windows.zip)
add_custom_target(windows_package
  COMMAND ${CMAKE_COMMAND} -DSOURCE=${CMAKE_SOURCE_DIR} -DBINARY=${CMAKE_BINARY_DIR}
          ${kdr_package_arches} -DVERSION=${PROJECT_VERSION} -DZIP=${KDR_WINDOWS_PACKAGE}
          -P ${CMAKE_SOURCE_DIR}/cmake/windows-package.cmake
  DEPENDS KDRCtrl kdr_sample_host
  COMMENT "Windows package KDRCtrl-${PROJECT_VERSION}-windows.zip"
  VERBATIM USES_TERMINAL)
# `package` is CPack's name where CPack is used; the Windows builds do not use it.
if(NOT DEFINED CPACK_OUTPUT_CONFIG_FILE)
  add_custom_target(package DEPENDS windows_package)
endif()
