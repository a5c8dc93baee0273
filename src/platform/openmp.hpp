#pragma once

// The only place that talks to OpenMP's runtime. Without OpenMP (TAVOQ_OPENMP=OFF) each
// function answers as a runtime with a single thread would, and nothing is defined under
// OpenMP's own names.
#ifdef _OPENMP
#include <omp.h>
#endif

namespace tavoq::platform {

/// The number of threads a parallel region without a num_threads clause would get
/// (OMP_NUM_THREADS or setThreadCount); 1 without OpenMP. Thread-safe.
inline int maxThreads() {
#ifdef _OPENMP
    return omp_get_max_threads();
#else
    return 1;
#endif
}

/// The most threads the process may run in OpenMP (OMP_THREAD_LIMIT); 1 without OpenMP.
inline int threadLimit() {
#ifdef _OPENMP
    return omp_get_thread_limit();
#else
    return 1;
#endif
}

/// Sets the number of threads of later parallel regions started by the calling thread, as
/// it is given (OpenMP decides what a value below 1 means). Does nothing without OpenMP.
inline void setThreadCount(int n) {
#ifdef _OPENMP
    omp_set_num_threads(n);
#else
    (void)n;
#endif
}

/// The calling thread's number in its team, from 0; 0 outside a parallel region.
inline int threadNumber() {
#ifdef _OPENMP
    return omp_get_thread_num();
#else
    return 0;
#endif
}

/// The number of threads in the calling thread's team; 1 outside a parallel region.
inline int teamSize() {
#ifdef _OPENMP
    return omp_get_num_threads();
#else
    return 1;
#endif
}

} // namespace tavoq::platform
