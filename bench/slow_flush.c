/* A disk whose flush takes a fixed time, for benchmarks run on a machine whose own flush is too quick to
 * show what sharing one flush among writers buys. Loaded with LD_PRELOAD; SLOW_FLUSH_US sets the pause
 * added before each fsync/fdatasync (the real call still runs, so durability is unchanged). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

static void pause_for_flush(void) {
    static long microseconds = -1;
    if (microseconds < 0) {
        const char *text = getenv("SLOW_FLUSH_US");
        microseconds = text ? atol(text) : 0;
    }
    struct timespec wait = {microseconds / 1000000, (microseconds % 1000000) * 1000};
    while (nanosleep(&wait, &wait) != 0) {
    }
}

int fdatasync(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    pause_for_flush();
    return real(fd);
}

int fsync(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    pause_for_flush();
    return real(fd);
}
