/* Loads the i386 libticklib.so as a 32-bit JVM would, calls the JNI method on one processor many
 * times and checks that every value is strictly greater than the one before. Usage:
 * tick32_load_test path/to/libticklib.so */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>

typedef int64_t (*rdtsc_fn)(void* env, void* cls);

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s libticklib.so\n", argv[0]);
    return 2;
  }
  if (sizeof(void*) != 4) {
    fprintf(stderr, "FAIL: this program must be built for i386\n");
    return 1;
  }
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) {
    fprintf(stderr, "FAIL: dlopen: %s\n", dlerror());
    return 1;
  }
  rdtsc_fn rdtsc = (rdtsc_fn)dlsym(lib, "Java_ru_halvorit_crypto_rand_ReadTickCounter_rdtsc");
  if (rdtsc == NULL) {
    fprintf(stderr, "FAIL: dlsym: %s\n", dlerror());
    return 1;
  }

  /* Successive values are ordered only on one processor: stay on the current one. */
  const int cpu = sched_getcpu();
  if (cpu >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof(set), &set);
  }

  /* The arguments are ignored: the first call passes made-up ones, the rest nulls. */
  int failures = 0;
  uint64_t previous = (uint64_t)rdtsc((void*)0x1, (void*)0x2);
  for (int i = 0; i < 100000; ++i) {
    uint64_t now = (uint64_t)rdtsc(NULL, NULL);
    if (now <= previous) {
      if (failures++ < 5) fprintf(stderr, "FAIL: read %d: %llu after %llu\n", i, (unsigned long long)now,
                                  (unsigned long long)previous);
    }
    previous = now;
  }
  dlclose(lib);
  if (failures != 0) return 1;
  printf("ok: 100001 reads, strictly increasing, last %llu\n", (unsigned long long)previous);
  return 0;
}
