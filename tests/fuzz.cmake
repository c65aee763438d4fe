# Fuzz targets. With FUZZ=ON (clang) each is a libFuzzer program, seeded from tests/data;
# in every other build the same sources replay the seeds and each crash input kept under
# fuzz/regressions/<target>/ as an ordinary test.
set(fuzz_dir ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)
set(fuzz_data ${CMAKE_CURRENT_SOURCE_DIR}/data)

function(add_fuzz_target name library seeds)
  if(FUZZ)
    add_executable(fuzz_${name} ${fuzz_dir}/fuzz_${name}.cpp)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzzers fuzz_${name})
    set(target fuzz_${name})
  else()
    add_executable(replay_${name} ${fuzz_dir}/fuzz_${name}.cpp ${fuzz_dir}/replay_main.cpp)
    add_test(NAME fuzz_replay_${name}
             COMMAND replay_${name} ${fuzz_dir}/regressions/${name} ${fuzz_data}/${seeds})
    set(target replay_${name})
  endif()
  target_link_libraries(${target} PRIVATE ${library})
endfunction()

if(FUZZ)
  add_custom_target(fuzzers)
endif()
add_fuzz_target(menu_reply charger menu_replies)
add_fuzz_target(profile image config)
add_fuzz_target(image image images)
add_fuzz_target(receiver chargersim transcripts)
