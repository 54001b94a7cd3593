# Fails when a source includes a header of a component its layer may not use, or when a
# source outside platform/ reaches the operating system directly. The include roots of the
# build already hide the first kind; this reads every include line, so the rules also hold
# for code a build leaves out (an option off) and name the offending line.
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
set(allowed_gui "")
set(allowed_setup platform portlib so opos gui)
set(allowed_exerciser platform opos gui)
set(components platform portlib vprinter so opos tools gui setup exerciser tests)

set(violations "")
foreach(component IN ITEMS platform portlib vprinter so opos tools gui setup exerciser)
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

# The operating system is platform/'s: after it, the files another operating system needs
# changed are exactly platform/'s. Everywhere else (tests/, bench/ and fuzz/ are Linux test
# code and are not read) these are refused: the POSIX, Linux and Windows system headers,
# and the POSIX names the C library also declares in standard headers, so that leaving
# out <strings.h> does not leave strcasecmp behind. Comments are not read.
set(os_headers
    "(sys|linux|netinet|arpa|net|asm)/[a-z0-9_/]+\\.h"
    "(unistd|fcntl|poll|termios|dlfcn|iconv|pthread|signal|strings|spawn|dirent|netdb|link|pwd|grp|sched|semaphore|mqueue|syslog|glob|fnmatch|libgen|wordexp|pty|utmp|elf|execinfo|getopt|langinfo)\\.h"
    "csignal"
    "(windows|winsock2|ws2tcpip|winioctl|objbase|oleauto|io|direct)\\.h")
list(JOIN os_headers "|" os_header_regex)
set(os_include_regex "^[ \t]*#[ \t]*include[ \t]*<(${os_header_regex})>")
set(os_names strcasecmp strncasecmp setenv unsetenv realpath mkstemp popen environ PATH_MAX)
list(JOIN os_names "|" os_name_regex)
set(os_name_regex "(^|[^A-Za-z0-9_])(${os_name_regex})([^A-Za-z0-9_]|$)")

# What must stay outside platform/: the file, the header or name, and why. Each entry must
# still be needed; one that is not fails the check, so the list only shrinks.
set(os_allowed "")
function(os_allow file what why)
  if(why STREQUAL "")
    message(FATAL_ERROR "os_allow(${file} ${what}) needs a reason")
  endif()
  set(os_allowed ${os_allowed} "${file}|${what}" PARENT_SCOPE)
endfunction()
# (None today.)

set(os_used "")
foreach(component IN ITEMS portlib vprinter so opos tools gui setup exerciser)
  file(GLOB_RECURSE sources ${SOURCE_DIR}/${component}/*.cpp ${SOURCE_DIR}/${component}/*.h)
  foreach(source IN LISTS sources)
    file(READ ${source} text)
    string(REGEX REPLACE "//[^\n]*" "" text "${text}")
    string(REGEX MATCH "#[ \t]*include[ \t]*<(${os_header_regex})>" include_hit "${text}")
    string(REGEX MATCH "${os_name_regex}" name_hit "${text}")
    if(include_hit STREQUAL "" AND name_hit STREQUAL "")
      continue()
    endif()
    file(RELATIVE_PATH where ${SOURCE_DIR} ${source})
    # One list element a line: what would split or join elements goes first.
    string(REPLACE ";" " " text "${text}")
    string(REPLACE "\\" " " text "${text}")
    string(REPLACE "[" " " text "${text}")
    string(REPLACE "]" " " text "${text}")
    string(REPLACE "\n" ";" lines "${text}")
    set(number 0)
    foreach(line IN LISTS lines)
      math(EXPR number "${number} + 1")
      set(found "")
      if(line MATCHES "${os_include_regex}")
        set(found "${CMAKE_MATCH_1}")
        set(shown "<${found}>")
      elseif(line MATCHES "${os_name_regex}")
        set(found "${CMAKE_MATCH_2}")
        set(shown "${found}")
      endif()
      if(found STREQUAL "")
        continue()
      endif()
      if("${where}|${found}" IN_LIST os_allowed)
        list(APPEND os_used "${where}|${found}")
        continue()
      endif()
      string(APPEND violations
             "\n  ${where}:${number}: ${shown} (the operating system is platform/'s)")
    endforeach()
  endforeach()
endforeach()
foreach(entry IN LISTS os_allowed)
  if(NOT entry IN_LIST os_used)
    string(REPLACE "|" ": " shown "${entry}")
    string(APPEND violations "\n  ${shown} is allowed but no longer used: take it off the list")
  endif()
endforeach()

if(violations)
  message(FATAL_ERROR "includes across the layers:${violations}")
endif()
