# Chooses the GPU flavour and provides the interface target `qor_gpu`, which
# carries the include paths and libraries of the CUDA runtime, cuBLAS and NCCL:
#   cuda      the real toolkit (kernels compiled by nvcc)
#   emulated  the project's own host-memory emulation in gpu_emu/
# Default: cuda when the toolkit is found and a GPU is usable, else emulated.

set(QOR_GPU "" CACHE STRING "GPU flavour: cuda or emulated (empty: detect)")
set_property(CACHE QOR_GPU PROPERTY STRINGS "" cuda emulated)

find_package(CUDAToolkit QUIET)

if(QOR_GPU STREQUAL "")
  set(_qor_gpu_usable FALSE)
  if(CUDAToolkit_FOUND)
    try_run(_qor_probe_run _qor_probe_compiled
      "${CMAKE_BINARY_DIR}/gpu_probe"
      "${CMAKE_CURRENT_LIST_DIR}/gpu_probe.cpp"
      CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${CUDAToolkit_INCLUDE_DIRS}"
      LINK_LIBRARIES CUDA::cudart)
    if(_qor_probe_compiled AND _qor_probe_run EQUAL 0)
      set(_qor_gpu_usable TRUE)
    endif()
  endif()
  if(_qor_gpu_usable)
    set(QOR_GPU cuda CACHE STRING "GPU flavour: cuda or emulated (empty: detect)" FORCE)
  else()
    set(QOR_GPU emulated CACHE STRING "GPU flavour: cuda or emulated (empty: detect)" FORCE)
  endif()
endif()

if(NOT QOR_GPU MATCHES "^(cuda|emulated)$")
  message(FATAL_ERROR "QOR_GPU must be cuda or emulated, not '${QOR_GPU}'")
endif()

add_library(qor_gpu INTERFACE)
if(QOR_GPU STREQUAL "cuda")
  if(NOT CUDAToolkit_FOUND)
    message(FATAL_ERROR "QOR_GPU=cuda needs the CUDA toolkit")
  endif()
  if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES)
    # Turing to Hopper as machine code, plus PTX of sm_90 for newer cards.
    set(CMAKE_CUDA_ARCHITECTURES "75-real;80-real;86-real;89-real;90")
  endif()
  if(NOT DEFINED CMAKE_CUDA_COMPILER)
    set(CMAKE_CUDA_COMPILER "${CUDAToolkit_NVCC_EXECUTABLE}")
  endif()
  enable_language(CUDA)
  set(CMAKE_CUDA_STANDARD 17)
  find_library(QOR_NCCL_LIBRARY nccl HINTS ${CUDAToolkit_LIBRARY_DIR} REQUIRED)
  find_path(QOR_NCCL_INCLUDE_DIR nccl.h HINTS ${CUDAToolkit_INCLUDE_DIRS} REQUIRED)
  target_include_directories(qor_gpu INTERFACE ${QOR_NCCL_INCLUDE_DIR})
  target_link_libraries(qor_gpu INTERFACE CUDA::cudart CUDA::cublas ${QOR_NCCL_LIBRARY})
  target_compile_definitions(qor_gpu INTERFACE QOR_GPU_CUDA=1)
else()
  target_link_libraries(qor_gpu INTERFACE qor_gpuemu)
  target_compile_definitions(qor_gpu INTERFACE QOR_GPU_EMULATED=1)
endif()
