# Warnings apply to the project's own targets only; third-party sources compile with theirs off.
add_library(ruvi_warnings INTERFACE)
target_compile_options(ruvi_warnings INTERFACE -Wall -Wextra)
if(RUVI_WERROR)
  target_compile_options(ruvi_warnings INTERFACE -Werror)
endif()

# ruvi_library(<folder> SOURCES ... [DEPS ...]): the library target of one subsystem folder.
function(ruvi_library folder)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(ruvi_${folder} STATIC ${ARG_SOURCES})
  target_include_directories(ruvi_${folder} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(ruvi_${folder} PUBLIC ${ARG_DEPS} PRIVATE ruvi_warnings)
endfunction()
