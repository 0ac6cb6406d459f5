# velmora_add_module(<dotted.module.path> <sources...>)
#
# One extension module per call. The target name is the dotted path with "_" for ".", so
# two modules of the same last name can never clash; the module's own name is handed to
# the sources as VELMORA_MODULE_NAME so PYBIND11_MODULE cannot drift from the file name.
function(velmora_add_module dotted)
  string(REPLACE "." "_" target "${dotted}")
  string(REPLACE "." ";" parts "${dotted}")
  list(POP_BACK parts leaf)
  list(JOIN parts "/" package_dir)

  pybind11_add_module(${target} MODULE ${ARGN})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${leaf})
  target_compile_definitions(${target} PRIVATE
    VELMORA_MODULE_NAME=${leaf} PYBIND11_DETAILED_ERROR_MESSAGES)
  target_link_libraries(${target} PRIVATE velmora_core velmora_bindings_common velmora_flags)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_link_options(${target} PRIVATE "LINKER:--exclude-libs,ALL")
  endif()
  install(TARGETS ${target} LIBRARY DESTINATION ${package_dir})
endfunction()
