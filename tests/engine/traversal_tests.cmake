# Element-wise reductions, bounded waits, jitter measurement and the ring and
# recursive traversals of the engine.

# Shared by the suites below: hardware layers from option text, buffers in
# the engine's memory, the passes of one dimension, trace line parsing.
add_library(qor_traversal_test_support STATIC traversal_test_support.cpp)
target_include_directories(qor_traversal_test_support PUBLIC
  ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests/interface)
target_link_libraries(qor_traversal_test_support PUBLIC qor_internal qor_test_support GTest::gtest)
qor_set_warnings(qor_traversal_test_support)

# The kernels and the cuBLAS sum against host references; no MPI.  The same
# checks run without GoogleTest in tools/gpu_check.sh.
qor_add_test(test_engine_kernels SOURCES test_engine_kernels.cpp kernel_checks.cpp
             LIBS qor_internal)
target_include_directories(test_engine_kernels PRIVATE ${PROJECT_SOURCE_DIR}/src/engine)

# reduce_op of both element types with its failure lines, built for each
# mode so that host-CPU results show also where GPU cases are skipped.
foreach(mode host gpu)
  qor_add_mpi_test(test_reduce_op_${mode} SOURCES test_reduce_op.cpp NPROCS 1
                   LIBS qor_traversal_test_support)
  if(mode STREQUAL "gpu")
    target_compile_definitions(test_reduce_op_${mode} PRIVATE QOR_REDUCE_GPU_MODE=1)
  else()
    target_compile_definitions(test_reduce_op_${mode} PRIVATE QOR_REDUCE_GPU_MODE=0)
  endif()
endforeach()

# The traversals over real processes: host-CPU mode in both flavours, GPU
# mode where a device (or the emulation) is there.
foreach(mode host gpu)
  qor_add_mpi_test(test_traversal_${mode} SOURCES test_traversal.cpp NPROCS 1 2 3 4 8
                   LIBS qor_traversal_test_support TIMEOUT 900)
  if(mode STREQUAL "gpu")
    target_compile_definitions(test_traversal_${mode} PRIVATE QOR_TRAVERSAL_GPU_MODE=1)
  else()
    target_compile_definitions(test_traversal_${mode} PRIVATE QOR_TRAVERSAL_GPU_MODE=0)
  endif()
endforeach()

# Bounded waits and failing MPI calls.  The program is linked with --wrap for
# the point-to-point calls, so that a test can make one fail, count them, or
# send a message only once the wait under test has given up polling.
qor_add_mpi_test(test_engine_waits SOURCES test_engine_waits.cpp NPROCS 1 2 3
                 LIBS qor_traversal_test_support TIMEOUT 300)
target_link_options(test_engine_waits PRIVATE
  "LINKER:--wrap=MPI_Irecv" "LINKER:--wrap=MPI_Isend"
  "LINKER:--wrap=MPI_Wait" "LINKER:--wrap=MPI_Test")

# Barrier timing, straggler detection and the slowness score.
qor_add_mpi_test(test_jitter SOURCES test_jitter.cpp NPROCS 1 2 3 4
                 LIBS qor_traversal_test_support TIMEOUT 300)
