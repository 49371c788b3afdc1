// XmlDocTypeCloseTracker: what is known, during a write, of the ">" that closes the document type
// declaration. The tree builder gives a declaration without an internal subset the text up to its
// ">" at most, and the ">" may fall to the item after it; so a copied declaration may owe its
// ">", and a copied item after a written one may bring a second. The tracker says which, and
// finds the ">" (after blanks) at either end of a stretch in its own code page.
// Ownership: owned by the writer; owns its state and a small table of markup bytes per page.
// Thread rules: one write at a time, on the thread that owns the writer.
#pragma once

class XmlDocTypeCloseTracker {
public:
    enum State {
        None,    // nothing pending
        Owed,    // copied without its ">": the next output must supply one
        Written  // ">" written: a ">" at the head of the next copied item is left out
    };

    void reset() noexcept {
        iState = None;
        iSubsetCarriedClose = false;
    }
    State state() const noexcept { return iState; }
    void set(State state) noexcept { iState = state; }
    // The state, which becomes None: the next output settles it.
    State take() noexcept {
        const State state = iState;
        iState = None;
        return state;
    }
    // Whether the internal subset just copied ended with the declaration's ">".
    bool subsetCarriedClose() const noexcept { return iSubsetCarriedClose; }
    void setSubsetCarriedClose(bool carried) noexcept { iSubsetCarriedClose = carried; }

    // Where a stretch about to be copied should start: past its leading ">" when one was written
    // already; `supplyClose` tells whether one is owed and the stretch does not bring it.
    const unsigned char* copyFrom(const unsigned char* start, const unsigned char* end, long ccsid, bool bigEndian,
                                  bool& supplyClose);
    // Whether a stretch ends with ">" and blanks only.
    bool endsWithClose(const unsigned char* start, const unsigned char* end, long ccsid, bool bigEndian);

private:
    // The byte after a ">" that only blanks stand before, or null.
    const unsigned char* findLeadingClose(const unsigned char* start, const unsigned char* end, long ccsid,
                                          bool bigEndian);
    bool isBlankByte(int b) const noexcept {
        return b == iMarkupBytes[0] || b == iMarkupBytes[1] || b == iMarkupBytes[2] || b == iMarkupBytes[3] ||
               b == iMarkupBytes[5];
    }
    void prepareMarkupBytes(long ccsid);

    State iState = None;
    bool iSubsetCarriedClose = false;
    // Bytes of white space, ">" and NL in the code page iMarkupBytesCcsid (-1: not one byte there).
    int iMarkupBytes[6] = {};
    int iMarkupBytesCcsid = -1;
};
