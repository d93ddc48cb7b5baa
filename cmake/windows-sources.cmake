# Included right after project() in a Windows build: once every subsystem has
# added its sources, files named *_posix.cpp outside platform/ are dropped from
# the library, because platform/win32/ implements the same functions.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL qx_drop_posix_sources)
function(qx_drop_posix_sources)
  if(NOT TARGET quillex_core)
    return()
  endif()
  get_target_property(sources quillex_core SOURCES)
  list(FILTER sources EXCLUDE REGEX "/(container|driver|console|codec)/[^/]*_posix\\.cpp$")
  set_target_properties(quillex_core PROPERTIES SOURCES "${sources}")
endfunction()
