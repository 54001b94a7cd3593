# Fails when a source includes a header of a component its layer may not use. The include
# roots of the build already hide such headers; this reads every include line, so the rule
# also holds for code a build leaves out (an option off) and names the offending line.
#   cmake -DSOURCE_DIR=<repository> -P layering_check.cmake
cmake_minimum_required(VERSION 3.25)
#
# For each component: the components whose headers it may include (besides its own).
set(allowed_platform "")
set(allowed_portlib platform)
set(allowed_vprinter platform)
set(allowed_so platform portlib opos/OposConstants.h)
set(allowed_opos platform portlib so)
set(allowed_tools platform portlib so opos vprinter)
set(allowed_setup platform portlib so opos)
set(allowed_exerciser platform opos)
set(components platform portlib vprinter so opos tools setup exerciser tests)

set(violations "")
foreach(component IN ITEMS platform portlib vprinter so opos tools setup exerciser)
  file(GLOB_RECURSE sources ${SOURCE_DIR}/${component}/*.cpp ${SOURCE_DIR}/${component}/*.h)
  foreach(source IN LISTS sources)
    file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][a-z_]+/")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]+)[\">].*" "\\1" header
             "${line}")
      string(REGEX REPLACE "/.*" "" target "${header}")
      if(NOT target IN_LIST components OR target STREQUAL component)
        continue()
      endif()
      if(target IN_LIST allowed_${component} OR header IN_LIST allowed_${component})
        continue()
      endif()
      file(RELATIVE_PATH where ${SOURCE_DIR} ${source})
      string(APPEND violations "\n  ${where}: ${header} (${component} may not use ${target})")
    endforeach()
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "includes across the layers:${violations}")
endif()
