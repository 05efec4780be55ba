if(VANTOR_SANITIZE)
  set(_vantor_sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer)
  target_compile_options(vantor_options INTERFACE ${_vantor_sanitize_flags})
  target_link_options(vantor_options INTERFACE ${_vantor_sanitize_flags})
endif()
