// Preloaded into the manager to make the HTTP API's waits and accepts fail
// as a starved system makes them fail: while the file named by
// FAIL_CALLS_FILE holds "epoll_wait ERRNO" or "accept4 ERRNO", that call
// fails with that error.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>

static int injected(const char* call) {
  const char* path = getenv("FAIL_CALLS_FILE");
  FILE* f = path ? fopen(path, "re") : NULL;
  if (!f) return 0;
  char name[32] = "";
  int error = 0;
  int read = fscanf(f, "%31s %d", name, &error);
  fclose(f);
  return read == 2 && strcmp(name, call) == 0 ? error : 0;
}

int epoll_wait(int epfd, struct epoll_event* events, int max, int timeout) {
  static int (*real)(int, struct epoll_event*, int, int);
  if (!real) real = (int (*)(int, struct epoll_event*, int, int))dlsym(RTLD_NEXT, "epoll_wait");
  int error = injected("epoll_wait");
  if (error) {
    errno = error;
    return -1;
  }
  return real(epfd, events, max, timeout);
}

int accept4(int fd, struct sockaddr* addr, socklen_t* len, int flags) {
  static int (*real)(int, struct sockaddr*, socklen_t*, int);
  if (!real) real = (int (*)(int, struct sockaddr*, socklen_t*, int))dlsym(RTLD_NEXT, "accept4");
  int error = injected("accept4");
  if (error) {
    errno = error;
    return -1;
  }
  return real(fd, addr, len, flags);
}
