# msgpack-cxx (header-only) decodes the parameter file inside the libraries;
# no installed header includes it and no exported target names it. The first
# of these that has it is taken:
#   1. NERVLANE_MSGPACK_INCLUDE_DIR, a folder holding msgpack.hpp, when given;
#   2. a CMake package of msgpack-cxx, find_package(msgpack-cxx CONFIG) (vcpkg,
#      conda, an install from source; its prefix on CMAKE_PREFIX_PATH);
#   3. the system's headers, such as Debian's libmsgpack-cxx-dev
#      (/usr/include/msgpack.hpp);
#   4. the PyPI package msgpack-cxx of a Python: NERVLANE_MSGPACK_PYTHON, else
#      Python_EXECUTABLE, else the project's .venv, else the python3 on PATH.
# A pip build, whose build requirements pin msgpack-cxx, and a build given
# NERVLANE_MSGPACK_PYTHON go to 4 at once, so that what they compile does not
# depend on what else the machine has (the test scripts pass the .venv's
# Python). A cross build finds 2 and 3 only under its own root.
#
# Defines the INTERFACE target msgpack_headers.
set(NERVLANE_MSGPACK_INCLUDE_DIR "" CACHE PATH "Folder holding msgpack.hpp (default: looked for, see cmake/msgpack-cxx.cmake)")
set(NERVLANE_MSGPACK_PYTHON "" CACHE FILEPATH "A Python whose msgpack-cxx package gives the headers, skipping the other ways")

add_library(msgpack_headers INTERFACE)
# The parameter file's decoding needs none of msgpack's Boost parts.
target_compile_definitions(msgpack_headers INTERFACE MSGPACK_NO_BOOST)

set(_msgpack_dir "")
set(_msgpack_from "")
set(_python_first OFF)
if(SKBUILD OR NERVLANE_MSGPACK_PYTHON)
  set(_python_first ON)
endif()

if(NERVLANE_MSGPACK_INCLUDE_DIR)
  set(_msgpack_dir "${NERVLANE_MSGPACK_INCLUDE_DIR}")
  set(_msgpack_from "NERVLANE_MSGPACK_INCLUDE_DIR")
elseif(NOT _python_first)
  find_package(msgpack-cxx CONFIG QUIET)
  if(msgpack-cxx_FOUND AND TARGET msgpack-cxx)
    target_link_libraries(msgpack_headers INTERFACE msgpack-cxx)
    message(STATUS "msgpack-cxx: the CMake package in ${msgpack-cxx_DIR}")
    return()
  endif()
  find_path(NERVLANE_MSGPACK_SYSTEM_DIR msgpack.hpp DOC "The system's msgpack-cxx headers")
  mark_as_advanced(NERVLANE_MSGPACK_SYSTEM_DIR)
  if(NERVLANE_MSGPACK_SYSTEM_DIR)
    set(_msgpack_dir "${NERVLANE_MSGPACK_SYSTEM_DIR}")
    set(_msgpack_from "installed headers")
  endif()
endif()

set(_python "")
if(NOT _msgpack_dir)
  set(_python "${NERVLANE_MSGPACK_PYTHON}")
  if(NOT _python)
    set(_python "${Python_EXECUTABLE}")
  endif()
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
    set(_msgpack_from "the PyPI package of ${_python}")
  endif()
endif()

if(NOT _msgpack_dir OR NOT EXISTS "${_msgpack_dir}/msgpack.hpp")
  if(NERVLANE_MSGPACK_INCLUDE_DIR)
    message(FATAL_ERROR "msgpack-cxx: NERVLANE_MSGPACK_INCLUDE_DIR (${NERVLANE_MSGPACK_INCLUDE_DIR}) holds no "
                        "msgpack.hpp.")
  endif()
  message(FATAL_ERROR "msgpack-cxx not found. Give it in one of these ways:\n"
                      "  - a CMake package of msgpack-cxx (find_package(msgpack-cxx CONFIG)): put its prefix on "
                      "CMAKE_PREFIX_PATH;\n"
                      "  - the system's headers: on Debian or Ubuntu, apt-get install libmsgpack-cxx-dev;\n"
                      "  - the PyPI package, in the Python this build asks ('${_python}'): "
                      "python -m pip install msgpack-cxx (scripts/setup.sh does it for .venv).\n"
                      "Or point -DNERVLANE_MSGPACK_INCLUDE_DIR at a folder holding msgpack.hpp.")
endif()
file(TO_CMAKE_PATH "${_msgpack_dir}" _msgpack_dir)
message(STATUS "msgpack-cxx: ${_msgpack_from} (${_msgpack_dir})")
target_include_directories(msgpack_headers SYSTEM INTERFACE "${_msgpack_dir}")
