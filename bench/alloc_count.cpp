// Preloaded into a front end by the benchmark: counts every heap allocation
// the process makes and writes the count to $ZMK_ALLOC_FILE at exit. The
// benchmark compares two runs that differ only in their number of exchanges.
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
}

namespace {

std::atomic<unsigned long long> count{0};

__attribute__((destructor)) void report()
{
    const char *path = std::getenv("ZMK_ALLOC_FILE");
    if (!path)
        return;
    if (FILE *f = std::fopen(path, "w")) {
        std::fprintf(f, "%llu\n", count.load());
        std::fclose(f);
    }
}

} // namespace

extern "C" {

void *malloc(size_t n)
{
    ++count;
    return __libc_malloc(n);
}
void *calloc(size_t k, size_t n)
{
    ++count;
    return __libc_calloc(k, n);
}
void *realloc(void *p, size_t n)
{
    ++count;
    return __libc_realloc(p, n);
}
void *memalign(size_t a, size_t n)
{
    ++count;
    return __libc_memalign(a, n);
}
void *aligned_alloc(size_t a, size_t n) { return memalign(a, n); }
int posix_memalign(void **p, size_t a, size_t n)
{
    *p = memalign(a, n);
    return *p ? 0 : 12; // ENOMEM
}
}
