// KelPoison: whether this build is checked by AddressSanitizer, and the marks the pools put on
// memory they hold free (a slot of a deleted element, a cell of a value let go), so that a use
// after free is caught there too. Sanitizer builds only; elsewhere the marks cost nothing.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define KEL_POOL_CHECKS_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEL_POOL_CHECKS_POISON 1
#endif
#endif

#ifdef KEL_POOL_CHECKS_POISON
#include <sanitizer/asan_interface.h>
#define KEL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define KEL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define KEL_POISON(p, n) ((void)(p), (void)(n))
#define KEL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif
