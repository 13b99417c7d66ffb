# The software layer: partitioning, rings, schedules, working buffers and
# diagnostic dumps.  Every suite is built twice: <suite>_host runs it in
# host-CPU mode (both flavours), <suite>_gpu in GPU mode (the emulation, or a
# real GPU per process; otherwise its cases are skipped with the reason).

foreach(mode host gpu)
  add_library(qor_sw_test_${mode} OBJECT ${CMAKE_CURRENT_SOURCE_DIR}/sw_test_support.cpp)
  target_link_libraries(qor_sw_test_${mode} PUBLIC qor_internal qor_test_support
                        GTest::gtest MPI::MPI_CXX)
  target_include_directories(qor_sw_test_${mode} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  qor_set_warnings(qor_sw_test_${mode})
endforeach()
target_compile_definitions(qor_sw_test_gpu PUBLIC QOR_SW_TEST_GPU=1)

# qor_sw_suite(<suite> HOST_NPROCS n... GPU_NPROCS n... [EMULATED_ONLY])
function(qor_sw_suite suite)
  cmake_parse_arguments(S "EMULATED_ONLY" "" "HOST_NPROCS;GPU_NPROCS" ${ARGN})
  set(flavour)
  if(S_EMULATED_ONLY)
    set(flavour EMULATED_ONLY)
  endif()
  if(S_HOST_NPROCS)
    qor_add_mpi_test(${suite}_host
      SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${suite}.cpp
      NPROCS ${S_HOST_NPROCS} LIBS qor_sw_test_host qor_internal ${flavour})
  endif()
  if(S_GPU_NPROCS)
    qor_add_mpi_test(${suite}_gpu
      SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${suite}.cpp
      NPROCS ${S_GPU_NPROCS} LIBS qor_sw_test_gpu qor_internal ${flavour})
  endif()
endfunction()

qor_sw_suite(test_sw_partition HOST_NPROCS 1 2 3 4 8 GPU_NPROCS 1 2 3 4 8)
qor_sw_suite(test_sw_buffers HOST_NPROCS 1 2 3 4 GPU_NPROCS 1 2 3 4)
qor_sw_suite(test_sw_dump HOST_NPROCS 1 2 3 4 8 GPU_NPROCS 1 2 4 8)
# Failure injection and the device-less host: the emulation's own knobs.
qor_sw_suite(test_sw_emu HOST_NPROCS 1 2 GPU_NPROCS 1 2 EMULATED_ONLY)
