# Makes KDRCtrl-<version>-windows.zip from both builds of the control. Run by
# the target `package` of a Windows build (cmake/windows-control.cmake) with
#   SOURCE       the source tree
#   BINARY       this build tree
#   ARCH         this build's folder in the package (x64 or x86)
#   OTHER_PRESET the other architecture's preset (mingw32 or mingw64)
#   OTHER_ARCH   its folder in the package
#   VERSION      the product version (1.01)
#   ZIP          the package to write
# The other build is configured when it does not exist yet, then brought up
# to date for the two files the package takes from it.
cmake_minimum_required(VERSION 3.25)

set(other_binary ${SOURCE}/build/${OTHER_PRESET})
if(NOT EXISTS ${other_binary}/CMakeCache.txt)
  execute_process(COMMAND ${CMAKE_COMMAND} --preset ${OTHER_PRESET}
    WORKING_DIRECTORY ${SOURCE} COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${other_binary}
  --target KDRCtrl kdr_sample_host COMMAND_ERROR_IS_FATAL ANY)

set(stage ${BINARY}/package/KDRCtrl-${VERSION}-windows)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage}/samples/host)

# Each build's control, its assembly manifest and the sample host that uses
# it without registration.
foreach(pair "${ARCH};${BINARY}" "${OTHER_ARCH};${other_binary}")
  list(GET pair 0 arch)
  list(GET pair 1 binary)
  foreach(name KDRCtrl.ocx KDRCtrl.manifest kdr_sample_host.exe kdr_sample_host.exe.manifest)
    if(NOT EXISTS ${binary}/bin/${name})
      message(FATAL_ERROR "windows package: ${binary}/bin/${name} is missing")
    endif()
    file(COPY ${binary}/bin/${name} DESTINATION ${stage}/${arch})
  endforeach()
endforeach()

# Texts for Windows: CR LF line ends (cmd.exe needs them for its labels).
function(copy_text source destination)
  file(READ ${source} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${destination} "${text}")
endfunction()
copy_text(${SOURCE}/registration/package/README.txt ${stage}/README.txt)
copy_text(${SOURCE}/registration/package/register.cmd ${stage}/register.cmd)
copy_text(${SOURCE}/registration/package/unregister.cmd ${stage}/unregister.cmd)
copy_text(${SOURCE}/samples/download.vbs ${stage}/samples/download.vbs)
copy_text(${SOURCE}/samples/host/host_app.cpp ${stage}/samples/host/host_app.cpp)

# The folders at the top of the archive: Windows' "Extract All" makes the
# package's own folder.
file(REMOVE ${ZIP})
file(GLOB entries RELATIVE ${stage} ${stage}/*)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip ${entries}
  WORKING_DIRECTORY ${stage} COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "windows package: ${ZIP}")
