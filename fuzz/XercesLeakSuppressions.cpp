// The scanner library's own leaks, which no caller can avoid: when it reports an error in a
// content model such as ((#PCDATA)), DTDScanner::scanChildren loses the model nodes it had
// built (96 bytes per bad document). Told to LeakSanitizer so that every other leak still
// fails a run; linked into the fuzzers and the hardening tests.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:xercesc_3_2::DTDScanner::scanChildren\n";
}
