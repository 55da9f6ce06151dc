#include "foundation/VTRHeapSettings.h"

#include <malloc.h>

namespace vtr {

bool configureHeapForDaemon() {
    // Setting either value explicitly also stops the allocator from raising the mapping
    // threshold by itself after a large block is freed.
    bool kept = mallopt(M_TRIM_THRESHOLD, 32 * 1024 * 1024) == 1;
    bool mapped = mallopt(M_MMAP_THRESHOLD, 128 * 1024) == 1;
    return kept && mapped;
}

}  // namespace vtr
