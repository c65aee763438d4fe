# One library per source folder: its shared sources, this platform's twins (TWINS stem names
# posix_stem.cpp or win32_stem.cpp), sources only one platform has, and what it builds on.
# Its headers are included as "folder/name.h" from src/.
function(add_folder_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;TWINS;POSIX_ONLY;WIN32_ONLY;LINKS")
  if(WIN32)
    set(prefix win32_)
    set(only ${arg_WIN32_ONLY})
  else()
    set(prefix posix_)
    set(only ${arg_POSIX_ONLY})
  endif()
  list(TRANSFORM arg_TWINS REPLACE "^(.+)$" "${prefix}\\1.cpp")
  add_library(${name} ${arg_SOURCES} ${arg_TWINS} ${only})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${arg_LINKS})
endfunction()
