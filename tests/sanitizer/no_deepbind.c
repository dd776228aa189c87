/* Preloaded into PHP for the sanitizer runs of the .phpt suite. PHP opens extensions with
 * RTLD_DEEPBIND, which the sanitizer runtime refuses; without deep binding the extension
 * resolves its symbols from the global scope, where the runtime's interceptors are. */
#define _GNU_SOURCE
#include <dlfcn.h>

__attribute__((visibility("default"))) void* dlopen(const char* file, int mode) {
  static void* (*next)(const char*, int);
  if (next == 0) next = (void* (*)(const char*, int))dlsym(RTLD_NEXT, "dlopen");
  return next(file, mode & ~RTLD_DEEPBIND);
}
