# Builds the libFuzzer targets of fuzz/ with clang, as a second configuration of this source
# tree (PH_FUZZ_ONLY) inside this build tree, and runs each one briefly as a ctest with the
# label "fuzz". The main build may use any compiler; libFuzzer needs clang.
include(ExternalProject)

find_program(PH_CLANG_CXX NAMES clang++ clang++-14)
find_program(PH_CLANG_C NAMES clang clang-14)
if(NOT PH_CLANG_CXX OR NOT PH_CLANG_C)
    message(WARNING "clang not found: the fuzz smoke tests are left out")
    return()
endif()

set(PH_FUZZ_BINARY_DIR ${CMAKE_BINARY_DIR}/fuzz-clang)
# The sanitizers come from these flags rather than PH_SANITIZE, so that the library code is
# also coverage-instrumented; the fuzz executables add -fsanitize=fuzzer when they link.
set(PH_FUZZ_FLAGS "-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer")

ExternalProject_Add(ph_fuzz_build
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${PH_FUZZ_BINARY_DIR}
    PREFIX ${CMAKE_BINARY_DIR}/fuzz-clang-ep
    CMAKE_CACHE_ARGS
        -DCMAKE_CXX_COMPILER:FILEPATH=${PH_CLANG_CXX}
        -DCMAKE_C_COMPILER:FILEPATH=${PH_CLANG_C}
        -DCMAKE_BUILD_TYPE:STRING=RelWithDebInfo
        # Optimised, but asserts stay on (no -DNDEBUG).
        "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO:STRING=-O2 -g"
        "-DCMAKE_C_FLAGS_RELWITHDEBINFO:STRING=-O2 -g"
        "-DCMAKE_CXX_FLAGS:STRING=${PH_FUZZ_FLAGS}"
        "-DCMAKE_C_FLAGS:STRING=${PH_FUZZ_FLAGS}"
        -DPH_FUZZ_ONLY:BOOL=ON
        -DPH_SANITIZE:BOOL=OFF
        -DPH_TSAN:BOOL=OFF
        -DPH_FUZZ_SMOKE:BOOL=OFF
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target ph_fuzzers
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
)

# ph_fuzz_smoke(NAME <test suffix> TARGET <fuzz target> CORPUS <directory under fuzz/corpus>)
# Runs the fuzzer for a few seconds on a fresh copy of its seed corpus, so the checked-in
# corpus never changes. Crashes, leaks, time-outs and oversized allocations fail the test;
# the input that caused one is left in the artifacts directory beside the copy.
function(ph_fuzz_smoke)
    cmake_parse_arguments(ARG "" "NAME;TARGET;CORPUS" "" ${ARGN})
    set(work ${CMAKE_BINARY_DIR}/fuzz-smoke/${ARG_NAME})
    add_test(NAME fuzz_smoke_${ARG_NAME}
        COMMAND sh -c [[rm -rf "$1" && mkdir -p "$1/corpus" "$1/artifacts" && cp -R "$2/." "$1/corpus/" && exec "$0" -max_total_time=5 -timeout=10 -rss_limit_mb=1024 -malloc_limit_mb=256 -artifact_prefix="$1/artifacts/" "$1/corpus"]]
            ${PH_FUZZ_BINARY_DIR}/fuzz/${ARG_TARGET} ${work} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${ARG_CORPUS})
    set_tests_properties(fuzz_smoke_${ARG_NAME} PROPERTIES LABELS fuzz TIMEOUT 120)
endfunction()

ph_fuzz_smoke(NAME cfb_open TARGET cfb_open_fuzz CORPUS cfb)
ph_fuzz_smoke(NAME mime_parse TARGET mime_parse_fuzz CORPUS mime)
ph_fuzz_smoke(NAME date TARGET date_fuzz CORPUS date)
ph_fuzz_smoke(NAME decoders TARGET decoders_fuzz CORPUS decoders)
ph_fuzz_smoke(NAME rule_eval TARGET rule_eval_fuzz CORPUS rules)
