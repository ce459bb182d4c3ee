// The counting allocator. Without AddressSanitizer the test program defines
// malloc, calloc, realloc and free itself, counts, and passes each call on to
// the C library's allocator, so that every allocation in the process (the C
// library's own and operator new's included) goes through here. Under
// AddressSanitizer, whose runtime owns the allocator, its allocation hook does
// the counting instead.
#include "counting_alloc.h"

#include <cstddef>

static thread_local bool counting;
static thread_local long allocations;

static void note_allocation()
{
    if (counting)
        allocations++;
}

void counting_alloc_start()
{
    allocations = 0;
    counting = true;
}

long counting_alloc_stop()
{
    counting = false;
    return allocations;
}

#if defined(__SANITIZE_ADDRESS__)
#define COUNT_WITH_SANITIZER_HOOK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define COUNT_WITH_SANITIZER_HOOK 1
#endif
#endif

#ifdef COUNT_WITH_SANITIZER_HOOK

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void *,
                                                                             size_t),
                                                         void (*free_hook)(const volatile void *));

static void on_malloc(const volatile void *, size_t)
{
    note_allocation();
}

static void on_free(const volatile void *) {}

[[maybe_unused]] static const int hooks_installed =
    __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);

#else

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t size);
void __libc_free(void *p);

void *malloc(size_t size)
{
    note_allocation();
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size)
{
    note_allocation();
    return __libc_calloc(count, size);
}

void *realloc(void *p, size_t size)
{
    note_allocation();
    return __libc_realloc(p, size);
}

void free(void *p)
{
    __libc_free(p);
}
}

#endif
