# msgpack-cxx (header-only) comes from its PyPI package, a build requirement
# in pyproject.toml, in every build. The headers are asked of a Python:
# Python_EXECUTABLE (pip's build environment sets it), else the project's
# .venv, else the python3 on PATH. The system's include folders are never
# searched: a cross build must not see the host's /usr/include, and a header
# that only one machine has would hide a missing dependency.
#
# Defines the INTERFACE target msgpack_headers.
set(NERVLANE_MSGPACK_INCLUDE_DIR "" CACHE PATH
    "Folder holding msgpack.hpp (default: msgpack_cxx.get_include() of the build's Python)")

set(_msgpack_dir "${NERVLANE_MSGPACK_INCLUDE_DIR}")
if(NOT _msgpack_dir)
  set(_python "${Python_EXECUTABLE}")
  foreach(_candidate "${PROJECT_SOURCE_DIR}/.venv/bin/python" "${PROJECT_SOURCE_DIR}/.venv/Scripts/python.exe")
    if(NOT _python AND EXISTS "${_candidate}")
      set(_python "${_candidate}")
    endif()
  endforeach()
  if(NOT _python)
    find_program(NERVLANE_PYTHON NAMES python3 python NO_CMAKE_FIND_ROOT_PATH)
    set(_python "${NERVLANE_PYTHON}")
  endif()
  if(_python)
    execute_process(COMMAND "${_python}" -c "import msgpack_cxx; print(msgpack_cxx.get_include())"
                    OUTPUT_VARIABLE _msgpack_dir OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _msgpack_status ERROR_QUIET)
    if(NOT _msgpack_status EQUAL 0)
      set(_msgpack_dir "")
    endif()
  endif()
endif()
if(NOT _msgpack_dir OR NOT EXISTS "${_msgpack_dir}/msgpack.hpp")
  message(FATAL_ERROR "msgpack-cxx headers not found. Install the PyPI package into the Python this build "
                      "uses ('${_python}'): python -m pip install msgpack-cxx (scripts/setup.sh does it for "
                      ".venv), or point -DNERVLANE_MSGPACK_INCLUDE_DIR at a folder holding msgpack.hpp.")
endif()
file(TO_CMAKE_PATH "${_msgpack_dir}" _msgpack_dir)
message(STATUS "msgpack-cxx headers: ${_msgpack_dir}")

add_library(msgpack_headers INTERFACE)
target_include_directories(msgpack_headers SYSTEM INTERFACE "${_msgpack_dir}")
target_compile_definitions(msgpack_headers INTERFACE MSGPACK_NO_BOOST)
