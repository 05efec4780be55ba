# Compiler flags every target of ours shares. vantor_flags carries what must be
# identical across all objects (sanitizers); vantor_warnings is linked privately.
add_library(vantor_flags INTERFACE)
add_library(vantor_warnings INTERFACE)

target_compile_options(vantor_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual
  -Wimplicit-fallthrough)

# GCC 12 at -O3 reports overlapping memcpy in std::string's char_traits that cannot happen
# (GCC bugs 105329 and 105651, fixed in GCC 13); rewriting each expression does not last.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
   AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(vantor_warnings INTERFACE $<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
endif()

if(VANTOR_WERROR)
  target_compile_options(vantor_warnings INTERFACE -Werror)
endif()
