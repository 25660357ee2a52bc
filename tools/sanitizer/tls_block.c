/* A library with a small thread-local block, for tools/sanitizer/check.py. Loaded with dlopen,
 * its block is dynamic TLS, which glibc allocates with malloc at the block's first use in a
 * thread. */
#include <stdint.h>
#include <stdlib.h>

static __thread long slot[2];

/* The chunks passed over on the way; kept reachable, so they are no leak. */
void *volatile passed_over[1 << 18];

/* Use the thread-local block for the first time once the next malloc of its size returns a chunk
 * 16 bytes past a page start: a freed chunk comes back at once when the allocator keeps no
 * quarantine. The sanitizer runtimes of GCC up to 13 and LLVM up to 16 take a dynamic TLS block
 * there for the header of an old glibc allocator and read a range out of whatever lies before
 * it. Returns the block's address, or 0 when no such chunk was found. */
uintptr_t place_block_after_page_start(void) {
    for (size_t n = 0; n < sizeof passed_over / sizeof passed_over[0]; ++n) {
        void *chunk = malloc(sizeof slot);
        if (((uintptr_t)chunk & 4095) == 16) {
            free(chunk);
            slot[0] = 1;
            return (uintptr_t)&slot[0];
        }
        passed_over[n] = chunk;
    }
    return 0;
}
