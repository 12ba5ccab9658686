// Helpers for walks that run two values side by side in the lanes of an
// SSE2 register, each lane doing the IEEE operations of the scalar walk.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>

namespace vostra::kernel {

// Lane by lane: `a` where `mask` is set, else `b` (a branch-free select).
[[gnu::always_inline]] inline __m128d pick(__m128d mask, __m128d a, __m128d b) {
    return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
}

}  // namespace vostra::kernel
#endif
