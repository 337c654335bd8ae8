#include "alloc_count.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

// glibc's own allocator under its internal names: the definitions below take
// the place of malloc and its relatives for the whole process (operator new,
// stdio and libstdc++ included) and pass every request on.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace alloc_count {
namespace {

std::atomic<bool> counting{false};
std::atomic<uint64_t> updater{0};
std::atomic<uint64_t> updater_bytes{0};
std::atomic<uint64_t> stand_ins{0};
std::atomic<uint64_t> stand_ins_bytes{0};
thread_local int stand_in_depth = 0;

void note(size_t size)
{
    if (!counting.load(std::memory_order_relaxed))
        return;
    if (stand_in_depth > 0) {
        stand_ins.fetch_add(1, std::memory_order_relaxed);
        stand_ins_bytes.fetch_add(size, std::memory_order_relaxed);
    } else {
        updater.fetch_add(1, std::memory_order_relaxed);
        updater_bytes.fetch_add(size, std::memory_order_relaxed);
    }
}

}  // namespace

void set_counting(bool on)
{
    counting.store(on, std::memory_order_relaxed);
}

Tally tally()
{
    return {updater.load(), updater_bytes.load(), stand_ins.load(), stand_ins_bytes.load()};
}

void clear()
{
    updater = 0;
    updater_bytes = 0;
    stand_ins = 0;
    stand_ins_bytes = 0;
}

StandInScope::StandInScope()
{
    ++stand_in_depth;
}

StandInScope::~StandInScope()
{
    --stand_in_depth;
}

}  // namespace alloc_count

extern "C" {

void* malloc(size_t size)
{
    alloc_count::note(size);
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size)
{
    alloc_count::note(count * size);
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size)
{
    alloc_count::note(size);
    return __libc_realloc(pointer, size);
}

void free(void* pointer)
{
    __libc_free(pointer);
}

void* memalign(size_t alignment, size_t size)
{
    alloc_count::note(size);
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size)
{
    alloc_count::note(size);
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size)
{
    alloc_count::note(size);
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr)
        return ENOMEM;
    *result = pointer;
    return 0;
}

}  // extern "C"
