// Sanitizer settings linked into the fuzzers and the hardening tests. The scanner library is built
// without frame pointers, so allocation stacks (and with them leak reports) are only complete
// with the slow unwinder. No leak is suppressed: what the scanner library loses on an error inside
// a document type declaration is freed with the tree builder's scanner memory.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
