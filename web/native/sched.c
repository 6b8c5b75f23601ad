#define _GNU_SOURCE
/* The C library of the WebAssembly build declares these but has none: a
 * page has no processor affinity to ask, so the call fails and the caller
 * falls back on its default. */
#include <errno.h>
#include <sched.h>

int sched_getaffinity(pid_t pid, size_t size, cpu_set_t* set) {
  (void)pid;
  (void)size;
  (void)set;
  errno = ENOSYS;
  return -1;
}

int __sched_cpucount(size_t size, const cpu_set_t* set) {
  (void)size;
  (void)set;
  return 0;
}
