# The download for Windows users: both programs, the README and the licence, in one zip
# (a licence with .txt opens on a double click there).
set(zip_dir ${CMAKE_BINARY_DIR}/zip)
set(windows_zip ${CMAKE_BINARY_DIR}/charger-updater-windows.zip)
add_custom_command(
  OUTPUT ${windows_zip}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${zip_dir}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${zip_dir}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:charger-updater> $<TARGET_FILE:charger-updater-cli>
          ${PROJECT_SOURCE_DIR}/README.md ${zip_dir}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/LICENSE ${zip_dir}/LICENSE.txt
  COMMAND ${CMAKE_COMMAND} -E rm -f ${windows_zip}
  COMMAND ${CMAKE_COMMAND} -E chdir ${zip_dir} ${CMAKE_COMMAND} -E tar cf ${windows_zip} --format=zip
          charger-updater.exe charger-updater-cli.exe README.md LICENSE.txt
  DEPENDS charger-updater charger-updater-cli ${PROJECT_SOURCE_DIR}/README.md
          ${PROJECT_SOURCE_DIR}/LICENSE
  VERBATIM)
add_custom_target(windows_zip ALL DEPENDS ${windows_zip})
