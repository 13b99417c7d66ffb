/*
 * libqor: sums (or averages) gradient buffers across the processes of a
 * data-parallel training job, one process per GPU.
 *
 * Every function returns QOR_SUCCESS (0) or QOR_FAILURE (1) unless said
 * otherwise; a failure has been reported on standard error by then.
 */
#ifndef QOR_H
#define QOR_H

#include <pthread.h>
#include <stddef.h>

#include <mpi.h>

#if defined(__GNUC__)
#define QOR_API __attribute__((visibility("default")))
#else
#define QOR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define QOR_VERSION_MAJOR 1
#define QOR_VERSION_MINOR 5
#define QOR_VERSION_PATCH 1

/* C callers may pass any int where these enumerations stand; C++ gives them
 * int as their underlying type so that every such value is valid there too
 * (the library answers out-of-range values with an error). */
#ifdef __cplusplus
#define QOR_ENUM_INT : int
#else
#define QOR_ENUM_INT
#endif

typedef enum QOR_Status QOR_ENUM_INT { QOR_SUCCESS = 0, QOR_FAILURE = 1 } QOR_Status;

/* Element types.  QOR_BYTE is accepted by qor_bcast only. */
typedef enum QOR_Type QOR_ENUM_INT { QOR_FLOAT = 0, QOR_HALF = 1, QOR_BYTE = 2 } QOR_Type;

/* QOR_AVG sums, then divides every element by the number of processes. */
typedef enum QOR_Op QOR_ENUM_INT { QOR_SUM = 0, QOR_AVG = 1 } QOR_Op;

/* Keys of qor_get_key_value: keys 0 to 5 write a double, key 6 an int. */
typedef enum QOR_Key QOR_ENUM_INT {
  QOR_KEY_E2E = 0,     /* seconds taken by the last allreduce; -1.0 before the first */
  QOR_KEY_JITTER = 1,  /* seconds of the last jitter measurement; -1.0 before the first */
  QOR_KEY_BW_DIM0 = 2, /* GB/s of topology dimension 0 over the recorded transfers */
  QOR_KEY_BW_DIM1 = 3,
  QOR_KEY_BW_DIM2 = 4,
  QOR_KEY_BW_DIM3 = 5,
  QOR_KEY_DEVICE = 6   /* CUDA device of this process; -1 in host-CPU mode */
} QOR_Key;

/* Lifecycle. */
QOR_API QOR_Status qor_init(const char* options);
QOR_API QOR_Status qor_finalize(void);
/* Writes 172 base64 characters and a NUL: group_id needs 173 bytes. */
QOR_API QOR_Status qor_generate_group_id(char* group_id);

/* Allreduce, in place, of count elements of type at device address buf.
 * It starts after all work queued on the device before the call, on any
 * stream of any thread (the gradient may still be being computed), and
 * returns with the result in buf: no synchronisation is needed on either
 * side. */
QOR_API QOR_Status qor_allreduce(void* buf, size_t count, QOR_Type type, QOR_Op op);
/* MPI_Allreduce-shaped entry: MPI_FLOAT or MPI_SHORT (half), MPI_SUM over
 * MPI_COMM_WORLD.  Returns 0, 1, or MPI_ERR_UNKNOWN when the allreduce fails. */
QOR_API int qor_allreduce_mpi(const char* options, void* buf, int count, MPI_Datatype datatype,
                              MPI_Op op, MPI_Comm comm);

/* Process queries, broadcast and memory helpers. */
QOR_API QOR_Status qor_rank(int* rank);
QOR_API QOR_Status qor_size(int* size);
QOR_API QOR_Status qor_local_rank(int* local_rank);
QOR_API QOR_Status qor_local_size(int* local_size);
/* In place.  In the NCCL modes buf is device memory and goes through NCCL;
 * otherwise through MPI (started if need be, also before qor_init), device
 * memory staged through host memory where MPI cannot read it.  A negative
 * count is refused. */
QOR_API QOR_Status qor_bcast(void* buf, int count, QOR_Type type, int root);
/* Returns the number of bytes allocated (size rounded up to align), or 1.
 * In host-CPU mode (-cpu_only 1) the memory is host memory from a pool the
 * processes of a host share (-shm_pool MiB per process, 1024 by default,
 * less where /dev/shm is small; 0 turns it off): the shared-memory algorithm (mode letter s, which -mode p
 * tries) reads an allreduce's buffer there where it lies instead of copying
 * it in, so a framework that allocates its gradient buckets here gets the
 * fastest path.  Such a buffer is valid until qor_free or qor_finalize;
 * when the pool is full, plain memory is handed out, after a warning.  In
 * the other modes it is device memory (cudaMalloc). */
QOR_API size_t qor_malloc(void** ptr, size_t align, size_t size);
QOR_API QOR_Status qor_free(void* ptr);
/* The copy helpers queue their copies on the library's streams and return:
 * the data is in place only once qor_memsync has returned.  Host buffers
 * passed to them must stay untouched until then. */
QOR_API QOR_Status qor_memcpy_host_to_device(void* dst, const void* src, size_t bytes);
QOR_API QOR_Status qor_memcpy_device_to_host(void* dst, const void* src, size_t bytes);
QOR_API QOR_Status qor_memcpy_gather(char* dst, char** src, size_t* size, size_t count);
QOR_API QOR_Status qor_memcpy_scatter(char** dst, size_t* size, size_t count, char* src);
QOR_API QOR_Status qor_memsync(void);
QOR_API QOR_Status qor_get_key_value(QOR_Key key, void* value);

/* Asynchronous allreduce on the library's worker thread, started by the first
 * call.  One request is outstanding at a time: a second call waits until the
 * first has finished.  Until qor_wait returns, the buffer must not be touched
 * and no other function of the library may be called.  The call returns 1
 * only when the worker cannot be started; a failing allreduce on the worker
 * is reported on standard error.
 * Process exit: the worker is detached and idle between requests, so exit
 * never waits for it and it never breaks exit; qor_finalize, a repeated
 * qor_init and exit itself first wait for a request still outstanding, for
 * at most 60 seconds (then qor_finalize and qor_init return 1 and exit goes
 * on, each after a line naming the request), and never on the worker
 * itself. */
QOR_API QOR_Status qor_allreduce_async(void* buf, size_t count, QOR_Type type, QOR_Op op);
/* Returns once no asynchronous request is outstanding (at once if none is):
 * 1 when a request failed since the last qor_wait, else 0. */
QOR_API QOR_Status qor_wait(void);

/* The error and warning text (trace lines and numbered messages, as written
 * on standard error) that the library wrote from the calling thread since
 * this thread's previous qor_last_error call, "" when there is none; the
 * call forgets it.  At most the last 4096 bytes are kept.  The text stays
 * valid until the thread calls qor_last_error again.  Failures of the
 * asynchronous worker are written from the worker's thread, not the
 * caller's. */
QOR_API const char* qor_last_error(void);

/* Hand-over slot of the asynchronous worker (read-only for callers). */
QOR_API extern int qor_thrinit;
QOR_API extern pthread_t qor_thr;
QOR_API extern void* qor_buf;
QOR_API extern size_t qor_cnt;
QOR_API extern int qor_type;
QOR_API extern int qor_op;
QOR_API extern int qor_ctrl; /* accessed atomically */

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QOR_H */
