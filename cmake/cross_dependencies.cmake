# Debian ships no mingw builds of these; both are built from the native packages' sources.

# CLI11 is header-only: its headers serve any target.
set(cli11_dir ${CMAKE_BINARY_DIR}/cli11)
file(MAKE_DIRECTORY ${cli11_dir})
file(CREATE_LINK /usr/include/CLI ${cli11_dir}/CLI SYMBOLIC)
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${cli11_dir})

# GoogleTest from the sources the googletest package installs; it names its targets GTest::*.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
