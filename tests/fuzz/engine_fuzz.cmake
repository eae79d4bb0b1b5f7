# The patch engine's libFuzzer target; included by tests/fuzz/CMakeLists.txt
# when OLK_FUZZ is on (clang only):
#   cmake --build build/fuzz --target engine_patch_fuzz engine_fuzz_seeds
#   tests/fuzz/run_engine_fuzz.sh build/fuzz 600
if(TARGET olk_engine)
  target_compile_options(olk_engine PRIVATE -fsanitize=fuzzer-no-link)
  get_target_property(OLK_ENGINE_SOURCE_DIR olk_engine SOURCE_DIR)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(OLK_FUZZ_XXHASH REQUIRED IMPORTED_TARGET libxxhash)

  add_executable(engine_patch_fuzz ${CMAKE_CURRENT_LIST_DIR}/engine_patch_fuzz.cpp)
  target_include_directories(engine_patch_fuzz PRIVATE ${OLK_ENGINE_SOURCE_DIR})
  target_link_libraries(engine_patch_fuzz PRIVATE olk_engine PkgConfig::OLK_FUZZ_XXHASH)
  target_compile_options(engine_patch_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(engine_patch_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)

  add_executable(engine_fuzz_seeds ${CMAKE_CURRENT_LIST_DIR}/engine_fuzz_seeds.cpp)
  target_include_directories(engine_fuzz_seeds PRIVATE ${OLK_ENGINE_SOURCE_DIR})
  target_link_libraries(engine_fuzz_seeds PRIVATE olk_engine PkgConfig::OLK_FUZZ_XXHASH)
  # The engine is built with coverage hooks; the seed writer links their runtime.
  target_link_options(engine_fuzz_seeds PRIVATE -fsanitize=fuzzer-no-link)

  # Recovery from a fuzzed journal and staging folder, on the in-memory
  # file layer of the engine's tests.
  add_executable(journal_fuzz ${CMAKE_CURRENT_LIST_DIR}/journal_fuzz.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/../engine/mem_fs.cpp)
  target_include_directories(journal_fuzz PRIVATE ${OLK_ENGINE_SOURCE_DIR} ${CMAKE_CURRENT_LIST_DIR}/../engine)
  target_link_libraries(journal_fuzz PRIVATE olk_engine)
  target_compile_options(journal_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(journal_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  # libFuzzer refuses a corpus folder that does not exist yet.
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/journal_corpus)
  add_test(NAME journal_fuzz_smoke
           COMMAND $<TARGET_FILE:journal_fuzz> -max_total_time=${OLK_FUZZ_SMOKE_SECONDS} -max_len=512 -print_final_stats=1
                   ${CMAKE_CURRENT_BINARY_DIR}/journal_corpus)

  add_test(NAME engine_patch_fuzz_smoke
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/run_engine_fuzz.sh ${CMAKE_CURRENT_BINARY_DIR} ${OLK_FUZZ_SMOKE_SECONDS}
                   ${CMAKE_CURRENT_BINARY_DIR}/engine_corpus)
endif()

# The PE parser, on any bytes, seeded from hand-made executables.
if(TARGET olk_engine)
  # The parser is compiled in, so that AddressSanitizer watches its reads
  # too (the fuzz build does not build the engine library with it).
  add_executable(pe_image_fuzz ${CMAKE_CURRENT_LIST_DIR}/pe_image_fuzz.cpp ${OLK_ENGINE_SOURCE_DIR}/pe_image.cpp)
  target_include_directories(pe_image_fuzz PRIVATE ${OLK_ENGINE_SOURCE_DIR})
  target_compile_options(pe_image_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(pe_image_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)

  add_executable(pe_image_fuzz_seeds ${CMAKE_CURRENT_LIST_DIR}/pe_image_fuzz_seeds.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/../engine/synthetic_pe.cpp)
  target_include_directories(pe_image_fuzz_seeds PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../engine)

  add_test(NAME pe_image_fuzz_smoke
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/run_pe_image_fuzz.sh ${CMAKE_CURRENT_BINARY_DIR} ${OLK_FUZZ_SMOKE_SECONDS}
                   ${CMAKE_CURRENT_BINARY_DIR}/pe_image_corpus)
endif()

# The applier's side of executable deltas, with a real little program as
# the old file; seeded with deltas the engine makes.
if(TARGET olk_engine)
  add_executable(executable_delta_fuzz ${CMAKE_CURRENT_LIST_DIR}/executable_delta_fuzz.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/../engine/synthetic_pe.cpp)
  target_include_directories(executable_delta_fuzz PRIVATE ${OLK_ENGINE_SOURCE_DIR} ${CMAKE_CURRENT_LIST_DIR}/../engine)
  target_link_libraries(executable_delta_fuzz PRIVATE olk_engine)
  target_compile_options(executable_delta_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(executable_delta_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)

  add_executable(executable_delta_fuzz_seeds ${CMAKE_CURRENT_LIST_DIR}/executable_delta_fuzz_seeds.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/../engine/synthetic_pe.cpp)
  target_include_directories(executable_delta_fuzz_seeds PRIVATE ${OLK_ENGINE_SOURCE_DIR}
                             ${CMAKE_CURRENT_LIST_DIR}/../engine)
  target_link_libraries(executable_delta_fuzz_seeds PRIVATE olk_engine)
  target_link_options(executable_delta_fuzz_seeds PRIVATE -fsanitize=fuzzer-no-link)

  add_test(NAME executable_delta_fuzz_smoke
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/run_executable_delta_fuzz.sh ${CMAKE_CURRENT_BINARY_DIR}
                   ${OLK_FUZZ_SMOKE_SECONDS} ${CMAKE_CURRENT_BINARY_DIR}/executable_delta_corpus)
endif()

# The ELF parser and the layout made of it, on any bytes, seeded from
# hand-made executables. The layout's lookups are compiled in as well.
if(TARGET olk_engine)
  add_executable(elf_image_fuzz ${CMAKE_CURRENT_LIST_DIR}/elf_image_fuzz.cpp ${OLK_ENGINE_SOURCE_DIR}/elf_image.cpp
                 ${OLK_ENGINE_SOURCE_DIR}/x86_refs.cpp ${OLK_ENGINE_SOURCE_DIR}/pe_image.cpp
                 ${OLK_ENGINE_SOURCE_DIR}/offset_set.cpp ${OLK_ENGINE_SOURCE_DIR}/relocation_table.cpp
                 ${OLK_ENGINE_SOURCE_DIR}/section_index.cpp ${OLK_ENGINE_SOURCE_DIR}/filled_memory.cpp)
  target_include_directories(elf_image_fuzz PRIVATE ${OLK_ENGINE_SOURCE_DIR})
  target_compile_options(elf_image_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(elf_image_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)

  add_executable(elf_image_fuzz_seeds ${CMAKE_CURRENT_LIST_DIR}/elf_image_fuzz_seeds.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/../engine/synthetic_elf.cpp ${CMAKE_CURRENT_LIST_DIR}/../engine/synthetic_pe.cpp)
  target_include_directories(elf_image_fuzz_seeds PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../engine)

  add_test(NAME elf_image_fuzz_smoke
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/run_elf_image_fuzz.sh ${CMAKE_CURRENT_BINARY_DIR} ${OLK_FUZZ_SMOKE_SECONDS}
                   ${CMAKE_CURRENT_BINARY_DIR}/elf_image_corpus)
endif()
