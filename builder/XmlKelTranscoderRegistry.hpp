// XmlKelTranscoderRegistry: makes the scanner library ready for this process, once. It initialises
// the scanner library and registers with its transcoding service the encoding names that the tree
// builder gives the scanner for non-UTF-16 bitstreams ("cpx-" and the ccsid), each backed by the
// host converter for that ccsid through XmlKelTranscoder. After that, naming a code page costs a
// table look-up per message and nothing more.
// Ownership: the registered name maps belong to the scanner library until this library is
// unloaded, which takes them back and gives back its initialisation of the scanner library.
// Thread rules: ensureReady() may be called from any thread, any number of times; the first call
// does the work and the others wait for it.
#pragma once

class XmlKelTranscoderRegistry {
public:
    XmlKelTranscoderRegistry() = delete;

    // Initialises the scanner library and registers the code-page names, the first time only.
    static void ensureReady();
};
