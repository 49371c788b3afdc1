// CanonicalTreeSerialiser: what an XML-domain tree means as XML, written plainly in UTF-8 so that
// libxml2 can read it and give its canonical form: the comments and processing instructions
// around the document element, and the document element with its attributes, character data,
// CDATA (as text), comments and processing instructions. An entity's expansion stands as the
// tree holds it; the document type declaration is left out (defaults are already in the tree).
// Every text is escaped here, never taken from the writer, so that a fault of the writer's
// escaping cannot hide in both sides. Walks the tree (parsing on demand: parse errors reach the
// caller) without recursion. Stateless.
#pragma once

#include <string>

class KelSyntaxElement;

class CanonicalTreeSerialiser {
public:
    static std::string serialise(KelSyntaxElement* root);
};
