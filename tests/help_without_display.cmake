# Runs PROGRAM --help with no window system to reach (no X or Wayland display, no Qt
# platform named): it must print its usage, starting "usage: NAME", and exit 0.
#   cmake -DPROGRAM=path -DNAME=name -P help_without_display.cmake
foreach(var DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM QT_QPA_PLATFORMTHEME)
  unset(ENV{${var}})
endforeach()
execute_process(COMMAND ${PROGRAM} --help
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
if(NOT result STREQUAL "0")
  message(FATAL_ERROR "${NAME} --help ended with ${result}\n${out}${err}")
endif()
if(NOT out MATCHES "^usage: ${NAME} ")
  message(FATAL_ERROR "${NAME} --help printed no usage on standard output:\n${out}${err}")
endif()
