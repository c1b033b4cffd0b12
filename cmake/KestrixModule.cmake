# kestrix_add_module(<import.name> [SOURCES extra.cpp ...])
#
# Adds the extension module importable as <import.name>, built from
# src/<import/name>.cpp (plus any extra sources), with the project's warnings
# as errors (cmake/KestrixWarnings.cmake), the Python glue headers and the
# Python-free native library. The target is named after the import name with
# dots turned into underscores, and the module is installed (component
# "python") at the package path.
include(${CMAKE_CURRENT_LIST_DIR}/KestrixWarnings.cmake)

function(kestrix_add_module import_name)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  string(REPLACE "." "/" rel_path "${import_name}")
  string(REPLACE "." "_" target "${import_name}")
  get_filename_component(module_name "${rel_path}" NAME)
  get_filename_component(package_dir "${rel_path}" DIRECTORY)

  set(source "${PROJECT_SOURCE_DIR}/src/${rel_path}.cpp")
  if(NOT EXISTS "${source}")
    message(FATAL_ERROR "kestrix_add_module(${import_name}): ${source} does not exist")
  endif()

  pybind11_add_module(${target} MODULE "${source}" ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME "${module_name}")
  target_compile_options(${target} PRIVATE ${KESTRIX_WARNINGS})
  target_compile_definitions(${target} PRIVATE KESTRIX_MODULE_NAME=${module_name})
  target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}/src/native")
  target_link_libraries(${target} PRIVATE kestrix::native)

  # Modules of different packages may share a file name (datasets.core and
  # losses.core), so each is written into a folder of its package's path.
  if(KESTRIX_INPLACE)
    set(output_dir "${PROJECT_SOURCE_DIR}/src/${package_dir}")
  else()
    set(output_dir "${PROJECT_BINARY_DIR}/modules/${package_dir}")
  endif()
  set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY "${output_dir}")
  install(TARGETS ${target} LIBRARY DESTINATION "${package_dir}" COMPONENT python)
endfunction()
