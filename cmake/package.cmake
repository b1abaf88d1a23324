# How C++ users reach the libraries: the nervlane_comm:: targets (ALIAS
# targets when this project is a sub-project, exported targets once
# installed), the installed headers, the CMake package and the pkg-config file.
#
#   nervlane_comm::serial         libnervlane_serial: nervlane_comm/serial/serial.h, deadline.h and
#                                 device_identity.h, names in serial:: (inline namespace serial::nervlane_v1)
#   nervlane_comm::nervlane_comm  libnervlane_comm: nervlane_comm/nervlane_comms.h and frame.h, the
#                                 decoders and models inside; links nervlane_comm::serial

add_library(nervlane_comm::serial ALIAS nervlane_serial)
add_library(nervlane_comm::nervlane_comm ALIAS nervlane_comm)
set_target_properties(nervlane_serial PROPERTIES EXPORT_NAME serial)
foreach(_lib nervlane_serial nervlane_comm)
  set_target_properties(${_lib} PROPERTIES VERSION ${PROJECT_VERSION}
                                           SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
endforeach()
# The decoders' and models' objects end up inside the comms library.
foreach(_objects nervlane_protocols nervlane_models)
  target_compile_definitions(${_objects} PRIVATE NERVLANE_COMM_EXPORTS)
endforeach()

if(BUILD_SHARED_LIBS)
  # Every user of a shared build compiles with this, so that on Windows the
  # headers import the API from the DLLs.
  target_compile_definitions(nervlane_serial PUBLIC NERVLANE_COMM_SHARED)
  # The comms library finds the serial library beside it, wherever the
  # install is moved.
  if(APPLE)
    set_target_properties(nervlane_comm PROPERTIES INSTALL_RPATH "@loader_path")
  elseif(UNIX)
    set_target_properties(nervlane_comm PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
  # ELF: the API's namespaces are all that leaves a library; what the
  # standard library's templates instantiate inside it stays inside.
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    foreach(_lib nervlane_serial nervlane_comm)
      target_link_options(${_lib} PRIVATE "LINKER:--version-script=${CMAKE_CURRENT_LIST_DIR}/exports.map")
      set_property(TARGET ${_lib} APPEND PROPERTY LINK_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/exports.map")
    endforeach()
  endif()
endif()

if(NOT NERVLANE_INSTALL)
  return()
endif()

include(CMakePackageConfigHelpers)
set(_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/nervlane_comm)

install(TARGETS nervlane_serial nervlane_comm
        EXPORT nervlane_commTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Every header under include/nervlane_comm/, the serial library's in its
# serial/ folder: nothing lands in a folder another library may own (a
# prefix may also hold some other library's serial/serial.h).
install(FILES include/nervlane_comm/nervlane_comms.h include/nervlane_comm/frame.h
              include/nervlane_comm/nervlane_comm_export.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nervlane_comm)
install(FILES src/serial/include/nervlane_comm/serial/serial.h src/serial/include/nervlane_comm/serial/deadline.h
              src/serial/include/nervlane_comm/serial/device_identity.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nervlane_comm/serial)
install(EXPORT nervlane_commTargets NAMESPACE nervlane_comm:: DESTINATION ${_cmake_dir})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/nervlane_commConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/nervlane_commConfig.cmake
                              INSTALL_DESTINATION ${_cmake_dir})
# 0.x: a new minor version may change the API.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/nervlane_commConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/nervlane_commConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/nervlane_commConfigVersion.cmake
        DESTINATION ${_cmake_dir})

# pkg-config: the prefix is found from the file's own place, so the install
# can be moved. A static library needs the thread library named as well.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(NERVLANE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  set(NERVLANE_PC_PREFIX "\${pcfiledir}/..")
  string(REGEX MATCHALL "[^/]+" _parts "${CMAKE_INSTALL_LIBDIR}")
  foreach(_part IN LISTS _parts)
    string(APPEND NERVLANE_PC_PREFIX "/..")
  endforeach()
endif()
set(NERVLANE_PC_CFLAGS "")
set(NERVLANE_PC_LIBS "")
set(NERVLANE_PC_LIBS_PRIVATE "")
if(CMAKE_USE_PTHREADS_INIT OR CMAKE_THREAD_LIBS_INIT)
  set(NERVLANE_PC_LIBS_PRIVATE " -pthread")
endif()
if(BUILD_SHARED_LIBS)
  set(NERVLANE_PC_CFLAGS " -DNERVLANE_COMM_SHARED")
else()
  set(NERVLANE_PC_LIBS "${NERVLANE_PC_LIBS_PRIVATE}")
  set(NERVLANE_PC_LIBS_PRIVATE "")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/nervlane_comm.pc.in ${CMAKE_CURRENT_BINARY_DIR}/nervlane_comm.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/nervlane_comm.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
