// How the process's heap keeps memory it has freed. Call configureHeapForDaemon() once, first
// thing in main(), before any thread starts; benchmarks of the daemon's paths call it too, so
// that they measure what the daemon does.
#pragma once

namespace vtr {

// Listing thousands of jobs builds and frees tens of megabytes of small records. By default
// the heap hands that memory back to the system after each listing and faults it in again on
// the next one, which costs more than building the listing; instead up to 32 MiB freed at the
// top of the heap is kept for reuse. Blocks of 128 KiB and more (chunk buffers) still come
// from and return to the system whole, so they never fragment the heap. Returns false if the
// allocator refused a setting.
bool configureHeapForDaemon();

}  // namespace vtr
