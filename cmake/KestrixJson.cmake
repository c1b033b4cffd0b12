# The JSON parser of the native library: nlohmann::json, a header-only
# library that the package takes from the package index (nlohmann-json,
# installed with the build tools). Its include folder is looked up through
# the Python interpreter of the build (Python_EXECUTABLE, or the first
# python3 found), or given directly as -DKESTRIX_JSON_INCLUDE_DIR=...
if(NOT KESTRIX_JSON_INCLUDE_DIR)
  if(NOT Python_EXECUTABLE)
    find_package(Python 3.10 QUIET COMPONENTS Interpreter)
  endif()
  if(Python_EXECUTABLE)
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -c
        "import importlib.util as u, os; s = u.find_spec('nlohmann_json'); print(os.path.join(s.submodule_search_locations[0], 'include') if s else '')"
      OUTPUT_VARIABLE json_hint OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  find_path(KESTRIX_JSON_INCLUDE_DIR nlohmann/json.hpp HINTS "${json_hint}")
endif()
if(NOT KESTRIX_JSON_INCLUDE_DIR OR NOT EXISTS "${KESTRIX_JSON_INCLUDE_DIR}/nlohmann/json.hpp")
  message(FATAL_ERROR "nlohmann/json.hpp not found: install the build tools (pip install nlohmann-json) "
                      "or pass -DKESTRIX_JSON_INCLUDE_DIR=<folder holding nlohmann/json.hpp>")
endif()
