#include "alloc_count.h"

#include <cstddef>

extern "C" {
void *__libc_malloc(size_t n);
void *__libc_calloc(size_t count, size_t n);
void *__libc_realloc(void *p, size_t n);
void __libc_free(void *p);
}

namespace {
// Plain static TLS: reading it never allocates, so it is safe inside malloc.
thread_local uint64_t t_allocations = 0;
} // namespace

namespace bench {
uint64_t thread_allocations() {
    return t_allocations;
}
} // namespace bench

extern "C" {

void *malloc(size_t n) noexcept {
    ++t_allocations;
    return __libc_malloc(n);
}

void *calloc(size_t count, size_t n) noexcept {
    ++t_allocations;
    return __libc_calloc(count, n);
}

void *realloc(void *p, size_t n) noexcept {
    ++t_allocations;
    return __libc_realloc(p, n);
}

void free(void *p) noexcept {
    __libc_free(p);
}

} // extern "C"
