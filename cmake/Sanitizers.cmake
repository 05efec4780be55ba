if(VANTOR_SANITIZE)
  set(_vantor_sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer)
  target_compile_options(vantor_flags INTERFACE ${_vantor_sanitize_flags})
  target_link_options(vantor_flags INTERFACE ${_vantor_sanitize_flags})
endif()

# Fuzzing: everything is instrumented for coverage; only the fuzz targets link libFuzzer.
if(VANTOR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VANTOR_FUZZ needs clang (CMAKE_CXX_COMPILER=clang++)")
  endif()
  set(_vantor_fuzz_flags -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer)
  target_compile_options(vantor_flags INTERFACE ${_vantor_fuzz_flags})
  target_link_options(vantor_flags INTERFACE -fsanitize=address,undefined)
endif()
