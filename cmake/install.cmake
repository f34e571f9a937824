# What `cmake --install` puts under the prefix:
#   lib/libkelvane.so.<version>, .so.<major>, .so       the library (soname libkelvane.so.<major>)
#   include/kelvane/grabber.h                           the public header
#   lib/cmake/Kelvane/                                  find_package(Kelvane): target Kelvane::kelvane
#   lib/pkgconfig/kelvane.pc                            pkg-config --cflags --libs kelvane
#   bin/kelvane-grab                                    the command-line tool
#   lib/libkelvane-ui.so, bin/kelvane-view              the Qt module and the live viewer (with KELVANE_UI)
#   share/doc/kelvane/                                  README and docs/
include(CMakePackageConfigHelpers)

set(KELVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kelvane)

# A library of the package (the grabber library, the UI module): installed
# into the export set that find_package(Kelvane) imports, as Kelvane::<name>.
function(kelvane_install_library target)
  install(TARGETS ${target} EXPORT KelvaneTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endfunction()

# A program of the package: bin/, and able to find the installed libraries
# (lib/ relative to bin/) without LD_LIBRARY_PATH.
function(kelvane_install_program target)
  file(RELATIVE_PATH _libdir_from_bindir ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${_libdir_from_bindir}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endfunction()

kelvane_install_library(kelvane)
install(FILES ${PROJECT_SOURCE_DIR}/include/kelvane/grabber.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kelvane COMPONENT development)

kelvane_install_program(kelvane-grab)

# Where the Qt module is built: the module beside the library, which loads it
# from its own directory (hosts never link it, so it is no part of the CMake
# package), and the live viewer with the tools.
if(TARGET kelvane-ui)
  install(TARGETS kelvane-ui LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)
endif()
if(TARGET kelvane-view)
  kelvane_install_program(kelvane-view)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT documentation)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT documentation)

# CMake package.
install(EXPORT KelvaneTargets NAMESPACE Kelvane:: DESTINATION ${KELVANE_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KelvaneConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/KelvaneConfig.cmake INSTALL_DESTINATION ${KELVANE_CMAKE_DIR})
# 0.x releases may break the interface with each minor version.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(_kelvane_compatibility SameMinorVersion)
else()
  set(_kelvane_compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KelvaneConfigVersion.cmake
                                 COMPATIBILITY ${_kelvane_compatibility})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KelvaneConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/KelvaneConfigVersion.cmake
        DESTINATION ${KELVANE_CMAKE_DIR} COMPONENT development)

# pkg-config file; the prefix is found from the file's own place and libdir
# and includedir are relative to it when they are inside it, so a tree
# installed with `cmake --install --prefix` or moved elsewhere still answers.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KELVANE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  set(KELVANE_PC_PREFIX "\${pcfiledir}/${_pc_to_prefix}")
endif()
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(KELVANE_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(KELVANE_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/kelvane.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kelvane.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kelvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)
