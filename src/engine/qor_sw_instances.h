// The explicit instances of the engine's member templates, which live in
// the source files: each file names its members once and lets these lists
// name the element types, operations and debug flags.
#pragma once

#define QOR_EACH_TYPE(M) M(float) M(__half)
// The passes of a traversal: every operation, both debug flags.
#define QOR_EACH_PASS_OF(M, T)                                                                 \
  M(T, QOR_MDR_NONE, false) M(T, QOR_MDR_NONE, true) M(T, QOR_MDR_SUM, false)                  \
  M(T, QOR_MDR_SUM, true) M(T, QOR_MDR_BOR, false) M(T, QOR_MDR_BOR, true)                     \
  M(T, QOR_MDR_HOST_SUM, false) M(T, QOR_MDR_HOST_SUM, true)
#define QOR_EACH_PASS(M) QOR_EACH_PASS_OF(M, float) QOR_EACH_PASS_OF(M, __half)
// The sums, on the device and on the host.
#define QOR_EACH_SUM(M) \
  M(float, QOR_MDR_SUM) M(float, QOR_MDR_HOST_SUM) M(__half, QOR_MDR_SUM) M(__half, QOR_MDR_HOST_SUM)
// The sums with both debug flags.
#define QOR_EACH_SUM_DBG(M)                                                                    \
  M(float, QOR_MDR_SUM, false) M(float, QOR_MDR_SUM, true) M(float, QOR_MDR_HOST_SUM, false)   \
  M(float, QOR_MDR_HOST_SUM, true) M(__half, QOR_MDR_SUM, false) M(__half, QOR_MDR_SUM, true)  \
  M(__half, QOR_MDR_HOST_SUM, false) M(__half, QOR_MDR_HOST_SUM, true)
