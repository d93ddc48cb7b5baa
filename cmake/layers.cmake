# The subsystems as layers. Each folder is one static library, quillex_<folder>,
# that links the lower layers it names and no others, so that a call upward does
# not link. Before anything of a layer compiles, cmake/check-layers.cmake reads
# every source of every layer and stops the build at an #include of a folder the
# layer does not name, with the file and the line.

# qx_layer(<folder> [PUBLIC <layer>...] [PRIVATE <layer>...])
#   Declares the layer of <folder> and the layers it may include and link:
#   PUBLIC when its own headers include them, PRIVATE when only its sources do.
#   A layer names only layers declared before it, so the layers stay a stack.
#   <folder>/CMakeLists.txt then adds its sources to quillex_<folder>.
function(qx_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "PUBLIC;PRIVATE")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "qx_layer(${name}): unexpected ${arg_UNPARSED_ARGUMENTS}")
  endif()
  get_property(declared GLOBAL PROPERTY QX_LAYERS)
  foreach(use IN LISTS arg_PUBLIC arg_PRIVATE)
    if(NOT use IN_LIST declared)
      message(FATAL_ERROR "qx_layer(${name}): ${use} is not a layer declared below ${name}")
    endif()
  endforeach()

  add_library(quillex_${name} STATIC)
  target_include_directories(quillex_${name} PUBLIC ${PROJECT_SOURCE_DIR})
  foreach(use IN LISTS arg_PUBLIC)
    target_link_libraries(quillex_${name} PUBLIC quillex_${use})
  endforeach()
  foreach(use IN LISTS arg_PRIVATE)
    target_link_libraries(quillex_${name} PRIVATE quillex_${use})
  endforeach()

  set_property(GLOBAL APPEND PROPERTY QX_LAYERS ${name})
  set_property(GLOBAL PROPERTY QX_LAYER_USES_${name} ${arg_PUBLIC} ${arg_PRIVATE})
  add_subdirectory(${name})
endfunction()

# qx_check_layers(): after the last qx_layer. Writes the rules into the build tree
# and makes every layer's library wait for the include check, which runs again
# whenever a source of a layer or a rule changes.
function(qx_check_layers)
  get_property(layers GLOBAL PROPERTY QX_LAYERS)
  set(rules "# Written by cmake/layers.cmake from the qx_layer calls.\nset(QX_LAYERS ${layers})\n")
  set(sources)
  foreach(layer IN LISTS layers)
    get_property(uses GLOBAL PROPERTY QX_LAYER_USES_${layer})
    string(APPEND rules "set(QX_LAYER_USES_${layer} ${uses})\n")
    file(GLOB_RECURSE found CONFIGURE_DEPENDS
         ${PROJECT_SOURCE_DIR}/${layer}/*.cpp ${PROJECT_SOURCE_DIR}/${layer}/*.hpp ${PROJECT_SOURCE_DIR}/${layer}/*.h)
    list(APPEND sources ${found})
  endforeach()
  set(rules_file ${PROJECT_BINARY_DIR}/quillex_layers.cmake)
  file(GENERATE OUTPUT ${rules_file} CONTENT "${rules}")

  set(script ${PROJECT_SOURCE_DIR}/cmake/check-layers.cmake)
  set(stamp ${PROJECT_BINARY_DIR}/quillex_layers.checked)
  add_custom_command(OUTPUT ${stamp}
                     COMMAND ${CMAKE_COMMAND} -DQX_SOURCE_DIR=${PROJECT_SOURCE_DIR} -DQX_RULES=${rules_file} -P ${script}
                     COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
                     DEPENDS ${script} ${rules_file} ${sources}
                     COMMENT "Checking the includes of every layer against the layers it may use"
                     VERBATIM)
  add_custom_target(quillex_layer_check DEPENDS ${stamp})
  foreach(layer IN LISTS layers)
    add_dependencies(quillex_${layer} quillex_layer_check)
  endforeach()
endfunction()
