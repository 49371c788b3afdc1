// XmlFrontierCopier: lets a write of a partly scanned tree stop at the scan frontier (the first
// byte the tree holds nothing of) and append the input from there to its end, converted as one
// stretch where the code page or byte order differs, instead of scanning and building the rest.
// That is right only while the bytes after the frontier still stand for what the tree holds
// after it: every element open at the frontier keeps its name, type and place, nothing was put
// after the frontier, the frontier lies in the document's own text, and the rest converts
// without loss. When any of that fails the write goes the usual way, so the output never differs
// in what it says. One object per write, made by the parser on its thread; it owns nothing.
#pragma once

#include <vector>

class KelSyntaxElement;
class XmlBrokerOrvaneWriter;
class XmlKelParser;

class XmlFrontierCopier {
public:
    XmlFrontierCopier(XmlKelParser* owner, XmlBrokerOrvaneWriter* writer) noexcept
        : iOwner(owner), iWriter(writer) {}

    // True when a write of `root` in `ccsid` may stop at the frontier. Scans on (as navigation
    // does) through the prolog to the document element, and a few steps more when the frontier
    // is not yet known; raises what that scanning raises.
    bool prepare(KelSyntaxElement* root, long ccsid);
    // The parser's tree checks over the part that is built (the scan vouches for the rest);
    // raises the same exceptions they raise.
    void validateBuiltPart();
    // Called by the writer after its set-up: writes the built part and appends the rest. False,
    // with the output to be taken back, when the rest cannot be converted or output is paused.
    bool write();

private:
    void writeOpenElements();
    // An open element's start tag: copied where it did not change, in pieces where only its
    // attributes did, otherwise written anew.
    void writeOpenStartTag(KelSyntaxElement* element);
    void writeKnownChild(KelSyntaxElement* child, int pauseBase);
    bool appendRest(const unsigned char* from);
    bool convertRest(const unsigned char* from, const unsigned char* end);

    XmlKelParser* iOwner;
    XmlBrokerOrvaneWriter* iWriter;
    KelSyntaxElement* iRoot = nullptr;
    KelSyntaxElement* iBody = nullptr;
    std::vector<KelSyntaxElement*> iOpen;    // open at the frontier, document element first
    const unsigned char* iFrontier = nullptr;
    const unsigned char* iEnd = nullptr;
    const unsigned char* iCopyFrom = nullptr; // where an unchanged open element starts, if any
};
