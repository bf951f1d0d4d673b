#include "HeapTuning.h"

#include <malloc.h>

namespace folimo {

void tuneHeapForPictures() {
    // Decoded pictures and DCT coefficients are tens of megabytes each and come and go
    // by the hundred on the threads that prepare them. One heap for all threads, which
    // keeps what was freed for the next picture up to a bound, holds memory flat
    // without paying for fresh pages each time; only the very largest blocks are mapped.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

} // namespace folimo
