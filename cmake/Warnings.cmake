# Compiler flags every target of ours shares. vantor_options carries what must be
# identical across all objects (sanitizers); vantor_warnings is linked privately.
add_library(vantor_options INTERFACE)
add_library(vantor_warnings INTERFACE)

target_compile_options(vantor_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual
  -Wimplicit-fallthrough)

if(VANTOR_WERROR)
  target_compile_options(vantor_warnings INTERFACE -Werror)
endif()
