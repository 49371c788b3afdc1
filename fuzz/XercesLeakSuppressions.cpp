// The scanner library's own leaks, which no caller can avoid: when it reports an error inside a
// document type declaration it loses what it was building: DTDScanner::scanChildren the nodes
// of a bad content model such as ((#PCDATA)) (96 bytes), DGXMLScanner::scanDocTypeDecl the
// identifiers read before a bad byte (about 20 bytes). Told to LeakSanitizer so that every other leak still
// fails a run; linked into the fuzzers and the hardening tests. The library is built without
// frame pointers, so leak stacks are only complete with the slow unwinder.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:xercesc_3_2::DTDScanner::scanChildren\n"
           "leak:xercesc_3_2::DGXMLScanner::scanDocTypeDecl\n";
}

extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
