// Counts operator new in the test binary (own file: never inlined).
#include <atomic>
#include <cstdlib>
#include <new>

static std::atomic<long> news{0};
long news_count() { return news.load(); }

void *operator new(std::size_t n)
{
    ++news;
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
