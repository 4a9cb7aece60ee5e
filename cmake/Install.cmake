# Installation and packaging: `cmake --install` puts the shared library (with its SONAME
# links), the public headers (C++ and C), a CMake package (find_package(GAVO_Client) gives
# the target GAVO_Client::GAVO_Client), the pkg-config file gavo_client.pc, the server and the gavo
# tool, and the documentation under the prefix. The Debian packages (debian/, built with
# dpkg-buildpackage) split the same files into library, development, server and tool.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(GAVO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/GAVO_Client)

# The same name inside this build as for consumers of the installed package.
add_library(GAVO_Client::GAVO_Client ALIAS GAVO_Client)

install(TARGETS GAVO_Client EXPORT GAVO_ClientTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/GAVO_Client.h
  ${PROJECT_SOURCE_DIR}/include/gavo_client_c.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# CMake package: targets, config and version files. Any 1.x library serves a consumer
# that asks for 1.y with y <= x.
install(EXPORT GAVO_ClientTargets NAMESPACE GAVO_Client:: DESTINATION ${GAVO_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/GAVO_ClientConfig.cmake.in
  ${PROJECT_BINARY_DIR}/GAVO_ClientConfig.cmake INSTALL_DESTINATION ${GAVO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/GAVO_ClientConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/GAVO_ClientConfig.cmake
  ${PROJECT_BINARY_DIR}/GAVO_ClientConfigVersion.cmake DESTINATION ${GAVO_CMAKE_DIR})

# Windows: the release zip (CPack) holds the DLL and the runtime DLLs it needs in bin/,
# the import library and GAVO_Client.def in lib/, the header, the CMake package, a short
# README and the licence. Built with `cpack -G ZIP` in the build folder (scripts/windows.sh).
if(WIN32)
  install(FILES ${GAVO_MINGW_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/GAVO_Client.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/README-windows.txt DESTINATION . RENAME README.txt)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(GAVO_WINDOWS_ARCH win64)
  else()
    set(GAVO_WINDOWS_ARCH win32)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME GAVO_Client)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME GAVO_Client-${PROJECT_VERSION}-${GAVO_WINDOWS_ARCH})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES ON)  # the DLL without its debug information
  include(CPack)
  return()
endif()

# pkg-config file. pkg-config prints its paths as written (a prefix found from the file's
# own place would print as .../pkgconfig/../../../include), so they are absolute: the file
# is finished at installation, when the prefix given to `cmake --install --prefix` is known.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(GAVO_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(GAVO_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
set(GAVO_PC_PREFIX "@GAVO_INSTALL_PREFIX@")  # filled in by the install step below
configure_file(${CMAKE_CURRENT_LIST_DIR}/gavo_client.pc.in
  ${PROJECT_BINARY_DIR}/gavo_client.pc.in @ONLY)
install(CODE "set(GAVO_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/gavo_client.pc.in\"
    \"${PROJECT_BINARY_DIR}/gavo_client.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/gavo_client.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Programs: they find the library beside them in ../lib (or the libdir in use) wherever
# the tree is installed.
file(RELATIVE_PATH GAVO_BIN_TO_LIB /gavo-prefix/${CMAKE_INSTALL_BINDIR}
  /gavo-prefix/${CMAKE_INSTALL_LIBDIR})
foreach(program gavo-server gavo-tables-export gavo)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${GAVO_BIN_TO_LIB}")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# Documentation.
file(GLOB GAVO_DOCS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/docs/*.md)
if(GAVO_DOCS)
  install(FILES ${GAVO_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/consumer
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
