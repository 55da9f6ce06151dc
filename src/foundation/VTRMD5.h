// VTRMD5: an MD5 computation fed piece by piece, for digests of data that arrives in blocks
// (file streams). One instance belongs to one thread at a time; separate instances may run on
// any threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/VTRValue.h"

struct evp_md_ctx_st;

namespace vtr {

class VTRMD5 {
  public:
    VTRMD5();
    ~VTRMD5();
    VTRMD5(const VTRMD5&) = delete;
    VTRMD5& operator=(const VTRMD5&) = delete;

    void update(const uint8_t* bytes, size_t size);
    // The 16 raw digest bytes of everything fed so far. Call once; the instance is spent.
    VTRBytes finish();

  private:
    evp_md_ctx_st* context_;
};

}  // namespace vtr
