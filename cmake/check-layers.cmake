# The layer check, run by the build before any layer compiles (see cmake/layers.cmake):
#   cmake -DQX_SOURCE_DIR=<top of the sources> -DQX_RULES=<rules file> -P check-layers.cmake
# The rules file sets QX_LAYERS and QX_LAYER_USES_<layer> for each layer. Every
# .cpp, .hpp and .h under a layer's folder may include files of its own folder and
# of the layers it uses; an #include that reaches any other folder of the source
# tree (another layer, tests/, programs/...) is reported with its file and line,
# and the build stops.
cmake_minimum_required(VERSION 3.20)

if(NOT QX_SOURCE_DIR OR NOT QX_RULES)
  message(FATAL_ERROR "check-layers.cmake needs -DQX_SOURCE_DIR=... and -DQX_RULES=...")
endif()
include(${QX_RULES})

# The folder of the source tree that holds `path`, or "" when it lies outside.
function(qx_top_folder path out)
  file(RELATIVE_PATH relative ${QX_SOURCE_DIR} ${path})
  if(relative MATCHES "^\\.\\./" OR relative STREQUAL "..")
    set(${out} "" PARENT_SCOPE)
  elseif(relative MATCHES "^([^/]+)/")
    set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

set(violations 0)
foreach(layer IN LISTS QX_LAYERS)
  set(allowed ${layer} ${QX_LAYER_USES_${layer}})
  list(JOIN QX_LAYER_USES_${layer} ", " uses_text)
  if(uses_text STREQUAL "")
    set(uses_text "no other layer")
  endif()
  file(GLOB_RECURSE sources ${QX_SOURCE_DIR}/${layer}/*.cpp ${QX_SOURCE_DIR}/${layer}/*.hpp ${QX_SOURCE_DIR}/${layer}/*.h)
  foreach(source IN LISTS sources)
    file(READ ${source} text)
    if(NOT text MATCHES "#[ \t]*include")
      continue()
    endif()
    # One list element per line: the characters that a CMake list treats
    # specially are set aside first, so that the line numbers stay exact.
    string(REPLACE "\\" "/" text "${text}")
    string(REPLACE ";" "," text "${text}")
    string(REPLACE "[" "(" text "${text}")
    string(REPLACE "]" ")" text "${text}")
    string(REPLACE "\n" ";" lines "${text}")
    get_filename_component(source_dir ${source} DIRECTORY)
    file(RELATIVE_PATH shown ${QX_SOURCE_DIR} ${source})
    set(number 0)
    foreach(line IN LISTS lines)
      math(EXPR number "${number} + 1")
      if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*([\"<])([^\">]+)[\">]")
        continue()
      endif()
      set(quoted ${CMAKE_MATCH_1})
      set(name ${CMAKE_MATCH_2})
      # A quoted name is looked for beside the including file first, then at the
      # top of the sources (the include directory of every layer).
      if(quoted STREQUAL "\"" AND EXISTS ${source_dir}/${name})
        get_filename_component(target ${name} ABSOLUTE BASE_DIR ${source_dir})
      else()
        get_filename_component(target ${name} ABSOLUTE BASE_DIR ${QX_SOURCE_DIR})
      endif()
      qx_top_folder(${target} folder)
      if(folder STREQUAL "" OR folder IN_LIST allowed OR NOT IS_DIRECTORY ${QX_SOURCE_DIR}/${folder})
        continue()
      endif()
      if(folder IN_LIST QX_LAYERS)
        set(what "the ${folder} layer")
      else()
        set(what "${folder}/, which no layer may include")
      endif()
      message(SEND_ERROR "${shown}:${number}: includes ${name}, of ${what}; "
                         "the ${layer} layer may include only its own folder and ${uses_text}")
      math(EXPR violations "${violations} + 1")
    endforeach()
  endforeach()
endforeach()

if(violations GREATER 0)
  message(FATAL_ERROR "${violations} include(s) break the layers declared in the top CMakeLists.txt "
                      "(qx_layer): platform at the bottom, each layer on the ones it names")
endif()
