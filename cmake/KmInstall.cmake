# Installation: the public headers, the three shared libraries, the programs,
# a CMake package (find_package(kmsrv CONFIG) gives kmsrv::kmbase,
# kmsrv::kmsnmp and kmsrv::kmsrv) and pkg-config files (kmbase.pc,
# kmsnmp.pc, kmsrv.pc). Everything installed is relocatable: the prefix given
# to `cmake --install --prefix DIR` may differ from CMAKE_INSTALL_PREFIX.

include(CMakePackageConfigHelpers)

set(KM_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kmsrv CACHE STRING
    "Where the CMake package files go, relative to the prefix")

# km_relative_path(VAR FROM TO): TO seen from FROM, both install directories
# relative to the prefix. An absolute TO stays absolute (not relocatable).
function(km_relative_path var from to)
  if(IS_ABSOLUTE "${to}")
    set(${var} "${to}" PARENT_SCOPE)
  else()
    file(RELATIVE_PATH rel "/prefix/${from}" "/prefix/${to}")
    string(REGEX REPLACE "/+$" "" rel "${rel}")
    if(rel STREQUAL "")
      set(rel ".")
    endif()
    set(${var} "${rel}" PARENT_SCOPE)
  endif()
endfunction()

# The libraries find each other next to themselves; the programs find them in
# the library directory beside their own.
set(km_libraries kmbase kmsnmp kmsrv)
set_target_properties(${km_libraries} PROPERTIES INSTALL_RPATH "$ORIGIN")
foreach(program kmquery:BINDIR kmagentd:SBINDIR kmiscd:SBINDIR)
  string(REPLACE ":" ";" program "${program}")
  list(GET program 0 target)
  list(GET program 1 dir)
  if(TARGET ${target})
    km_relative_path(rel "${CMAKE_INSTALL_${dir}}" "${CMAKE_INSTALL_LIBDIR}")
    if(IS_ABSOLUTE "${rel}")
      set_target_properties(${target} PROPERTIES INSTALL_RPATH "${rel}")
    else()
      set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${rel}")
    endif()
  endif()
endforeach()

install(TARGETS ${km_libraries} EXPORT kmsrvTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Only the public header folders; every header in them is API.
install(DIRECTORY
    ${PROJECT_SOURCE_DIR}/runtime/include/kmbase
    ${PROJECT_SOURCE_DIR}/snmplib/include/kmsnmp
    ${PROJECT_SOURCE_DIR}/include/kmsrv
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

# CMake package.
install(EXPORT kmsrvTargets NAMESPACE kmsrv:: DESTINATION ${KM_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/install/kmsrvConfig.cmake.in
  ${CMAKE_BINARY_DIR}/install/kmsrvConfig.cmake
  INSTALL_DESTINATION ${KM_INSTALL_CMAKEDIR})
# The SONAMEs carry the major version: any 0.x package serves a 0.y request
# with y <= x.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/kmsrvConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/install/kmsrvConfig.cmake
              ${CMAKE_BINARY_DIR}/install/kmsrvConfigVersion.cmake
  DESTINATION ${KM_INSTALL_CMAKEDIR})

# pkg-config files: paths relative to the .pc file's own folder.
set(km_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${km_pc_dir}")
  set(KM_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  km_relative_path(rel "${km_pc_dir}" ".")
  set(KM_PC_PREFIX "\${pcfiledir}/${rel}")
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(KM_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(KM_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
foreach(pc kmbase kmsnmp kmsrv)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/install/${pc}.pc.in
    ${CMAKE_BINARY_DIR}/install/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/install/${pc}.pc DESTINATION ${km_pc_dir})
endforeach()
