# Fails when a source of a layer includes a header of a layer above it (cmake -P, with
# SOURCE_DIR and LAYERS, the layers lowest first). Folders below a layer (ui/qt, app/qt) are
# shells over it and are not checked here.
cmake_minimum_required(VERSION 3.25)

set(rank 0)
foreach(layer IN LISTS LAYERS)
  set(rank_of_${layer} ${rank})
  math(EXPR rank "${rank} + 1")
endforeach()

set(faults "")
foreach(layer IN LISTS LAYERS)
  file(GLOB sources LIST_DIRECTORIES false
    ${SOURCE_DIR}/${layer}/*.h ${SOURCE_DIR}/${layer}/*.cpp ${SOURCE_DIR}/${layer}/*.c)
  foreach(source IN LISTS sources)
    file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[^/\"]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^/\"]+)/.*" "\\1" target "${line}")
      if(DEFINED rank_of_${target} AND rank_of_${target} GREATER rank_of_${layer})
        file(RELATIVE_PATH shown ${SOURCE_DIR} ${source})
        string(STRIP "${line}" line)
        list(APPEND faults "  ${shown}: ${line} (${layer} is below ${target})")
      endif()
    endforeach()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n" shown)
  message(FATAL_ERROR "Includes that point up a layer:\n${shown}")
endif()
