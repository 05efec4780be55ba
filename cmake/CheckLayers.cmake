# Fails when a source of a layer includes a header of a layer above it (cmake -P, with
# SOURCE_DIR and LAYERS, the layers lowest first; "a+b" names folders side by side on one
# layer, which include neither each other nor anything above). A folder's subfolders (ui/qt,
# app/qt) count as the folder.
cmake_minimum_required(VERSION 3.25)

set(rank 0)
set(folders "")
foreach(layer IN LISTS LAYERS)
  string(REPLACE "+" ";" side_by_side "${layer}")
  foreach(folder IN LISTS side_by_side)
    set(rank_of_${folder} ${rank})
    list(APPEND folders ${folder})
  endforeach()
  math(EXPR rank "${rank} + 1")
endforeach()

set(faults "")
foreach(layer IN LISTS folders)
  file(GLOB_RECURSE sources LIST_DIRECTORIES false
    ${SOURCE_DIR}/${layer}/*.h ${SOURCE_DIR}/${layer}/*.cpp ${SOURCE_DIR}/${layer}/*.c)
  foreach(source IN LISTS sources)
    file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[^/\"]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^/\"]+)/.*" "\\1" target "${line}")
      if(DEFINED rank_of_${target} AND NOT target STREQUAL layer AND
         NOT rank_of_${target} LESS rank_of_${layer})
        file(RELATIVE_PATH shown ${SOURCE_DIR} ${source})
        string(STRIP "${line}" line)
        list(APPEND faults "  ${shown}: ${line} (${layer} may not use ${target})")
      endif()
    endforeach()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n" shown)
  message(FATAL_ERROR "Includes that point up a layer, or across to a folder beside:\n${shown}")
endif()
