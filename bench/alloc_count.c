/* LD_PRELOAD shim counting heap allocations (C malloc family; C++ operator
 * new reaches malloc through the PLT, so it is counted too). Forwards to
 * glibc's internal entry points so no dlsym bootstrap is needed. */
#include <stddef.h>
#include <stdatomic.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);

static atomic_ulong total_allocs;
static __thread unsigned long thread_allocs __attribute__((tls_model("initial-exec")));

static inline void count(void) {
    atomic_fetch_add_explicit(&total_allocs, 1, memory_order_relaxed);
    thread_allocs++;
}

void *malloc(size_t n) { count(); return __libc_malloc(n); }
void *calloc(size_t k, size_t n) { count(); return __libc_calloc(k, n); }
/* A realloc may move; it is counted as an allocation either way. */
void *realloc(void *p, size_t n) { count(); return __libc_realloc(p, n); }
void *memalign(size_t a, size_t n) { count(); return __libc_memalign(a, n); }
void *aligned_alloc(size_t a, size_t n) { count(); return __libc_memalign(a, n); }
int posix_memalign(void **out, size_t a, size_t n) {
    count();
    void *p = __libc_memalign(a, n);
    if (p == NULL) return 12; /* ENOMEM */
    *out = p;
    return 0;
}

unsigned long ferrant_bench_allocs_total(void) {
    return atomic_load_explicit(&total_allocs, memory_order_relaxed);
}
unsigned long ferrant_bench_allocs_this_thread(void) { return thread_allocs; }
