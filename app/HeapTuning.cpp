#include "HeapTuning.h"

#include <malloc.h>

namespace folimo {

void tuneHeapForPictures() {
    // Decoded pictures and DCT coefficients are tens of megabytes each and come and go
    // by the hundred on the threads that prepare them. One heap for all threads reuses
    // what was freed for the next picture instead of paying for fresh pages each time,
    // while the largest blocks are mapped and a free top of the heap beyond a few
    // megabytes goes back to the system, so memory stays flat and small.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
}

} // namespace folimo
