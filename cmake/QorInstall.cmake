# `cmake --install <build> --prefix <P>`: libqor with its soname, the sibling
# libraries (and, in the emulated flavour, the GPU emulation they run on),
# the public headers, a CMake package (find_package(qor CONFIG) gives
# qor::qor) and the pkg-config file qor.pc.
include(CMakePackageConfigHelpers)

set(QOR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/qor)
set(_qor_installed qor qor_pack qor_comp)
if(QOR_GPU STREQUAL "emulated")
  list(APPEND _qor_installed qor_gpuemu)
endif()
# The installed libraries find each other beside themselves, and what they
# link from outside the system folders (the CUDA toolkit, NCCL, MPI) where
# this build found it.
set_target_properties(${_qor_installed} PROPERTIES
  INSTALL_RPATH "$ORIGIN" INSTALL_RPATH_USE_LINK_PATH TRUE)

install(TARGETS qor EXPORT qorTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS qor_pack qor_comp LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/qor.h
              ${PROJECT_SOURCE_DIR}/siblings/pack/qor_pack.h
              ${PROJECT_SOURCE_DIR}/siblings/comp/qor_comp.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(QOR_GPU STREQUAL "emulated")
  # The siblings' headers include cuda_runtime.h: without the toolkit, the
  # emulation's headers stand in for it (-I<prefix>/include/qor/emulated).
  install(TARGETS qor_gpuemu LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/gpu_emu/include/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qor/emulated)
endif()

install(EXPORT qorTargets NAMESPACE qor:: DESTINATION ${QOR_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qorConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qorConfig.cmake INSTALL_DESTINATION ${QOR_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qorConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qorConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/qorConfigVersion.cmake
        DESTINATION ${QOR_INSTALL_CMAKEDIR})

# pkg-config: MPI's flags as this build found them, since qor.h includes mpi.h.
set(QOR_PC_MPI_CFLAGS "")
foreach(dir IN LISTS MPI_C_INCLUDE_DIRS)
  string(APPEND QOR_PC_MPI_CFLAGS " -I${dir}")
endforeach()
set(QOR_PC_MPI_LIBS "")
foreach(lib IN LISTS MPI_C_LIBRARIES)
  string(APPEND QOR_PC_MPI_LIBS " ${lib}")
endforeach()
# The prefix is the one given at install time (cmake --install --prefix).
set(QOR_PC_PREFIX "@QOR_PC_PREFIX@")
configure_file(${CMAKE_CURRENT_LIST_DIR}/qor.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qor.pc.in @ONLY)
install(CODE "
  set(QOR_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/qor.pc.in\" \"${CMAKE_CURRENT_BINARY_DIR}/qor.pc\" @ONLY)")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qor.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
