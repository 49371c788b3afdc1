// Parameter-entity references between the declarations of an internal subset: a reference start
// and end mark around what the expansion built, nested as the references nest; none for a
// reference inside a literal, nor for one whose text is not whole declarations; spans that still
// tile the subset's own text.
#include "BuilderTestDocument.hpp"

#include "builder/XmlParameterReferenceLog.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Doc = BuilderTestDocument;

// The internal subset's children as "Type=value" (value-bearing types) or "Type:name".
std::vector<std::string> subsetItems(Doc& doc) {
    KelSyntaxElement* subset = Doc::child(Doc::child(doc.root(), XmlTypeDocTypeDecl), XmlTypeInternalSubset);
    std::vector<std::string> out;
    if (subset == nullptr) return out;
    for (KelSyntaxElement* c : Doc::children(subset)) {
        std::string s = xmlElementTypeName(c->type());
        s = s.substr(7);   // without "XmlType"
        if (c->type() == XmlTypeDocTypeWhiteSpace) continue;   // blanks, some from the expansion
        if (!c->name().empty()) s += ":" + c->name().toUtf8();
        if (c->type() == XmlTypeEntityReferenceStart || c->type() == XmlTypeEntityReferenceEnd ||
            c->type() == XmlTypeDocTypeComment)
            s += "=" + c->value().valueAsCharacter().toUtf8();
        out.push_back(s);
    }
    return out;
}

bool whole(const std::u16string& text) {
    return XmlParameterReferenceLog::isWholeDeclarations(reinterpret_cast<const XMLCh*>(text.data()), text.size());
}

} // namespace

TEST(ParameterReference, MarksStandAroundWhatTheExpansionBuilt) {
    Doc doc("<!DOCTYPE d [<!ENTITY % a '<!ENTITY x \"1\"><!--in-a-->'>%a;<!ELEMENT d ANY>]><d/>");
    EXPECT_EQ(subsetItems(doc), (std::vector<std::string>{"ParameterEntityDecl:a", "EntityReferenceStart=a",
                                                          "EntityDecl:x", "DocTypeComment=in-a", "EntityReferenceEnd=a",
                                                          "ElementDef:d"}));
}

TEST(ParameterReference, NestedReferencesNestTheirMarks) {
    // The subset may not hold a reference in a literal; a character reference puts one in a's text.
    Doc doc("<!DOCTYPE d [<!ENTITY % b '<!--in-b-->'><!ENTITY % a '<!--a1-->&#37;b;<!--a2-->'>%a;%b;<!--after-->]><d/>");
    EXPECT_EQ(subsetItems(doc),
              (std::vector<std::string>{"ParameterEntityDecl:b", "ParameterEntityDecl:a", "EntityReferenceStart=a",
                                        "DocTypeComment=a1", "EntityReferenceStart=b", "DocTypeComment=in-b",
                                        "EntityReferenceEnd=b", "DocTypeComment=a2", "EntityReferenceEnd=a",
                                        "EntityReferenceStart=b", "DocTypeComment=in-b", "EntityReferenceEnd=b",
                                        "DocTypeComment=after"}));
}

TEST(ParameterReference, EmptyExternalAndEndOfSubsetReferencesAreMarkedToo) {
    // An empty entity, an external one (never read) and a reference just before the ']'.
    Doc doc("<!DOCTYPE d [<!ENTITY % e ''><!ENTITY % x SYSTEM 'x.ent'>%e;<!--m-->%x;%e;]><d/>");
    EXPECT_EQ(subsetItems(doc), (std::vector<std::string>{"ParameterEntityDecl:e", "ExternalParameterEntityDecl:x",
                                                          "EntityReferenceStart=e", "EntityReferenceEnd=e",
                                                          "DocTypeComment=m", "EntityReferenceStart=x",
                                                          "EntityReferenceEnd=x", "EntityReferenceStart=e",
                                                          "EntityReferenceEnd=e"}));
}

TEST(ParameterReference, GeneralEntitiesInAttributeDefaultsAreNotMarked) {
    // A general entity in an attribute default is read from a reader of its own, in the subset
    // and in a parameter entity's text alike; only the parameter-entity reference is marked.
    Doc doc("<!DOCTYPE d [<!ENTITY g 'G'><!ATTLIST d a CDATA 'x&g;y'>"
            "<!ENTITY % p '<!ENTITY x \"v\"><!ATTLIST d b CDATA \"&#38;g;\">'>%p;]><d/>");
    EXPECT_EQ(subsetItems(doc), (std::vector<std::string>{"EntityDecl:g", "AttList:d", "ParameterEntityDecl:p",
                                                          "EntityReferenceStart=p", "EntityDecl:x", "AttList:d",
                                                          "EntityReferenceEnd=p"}));
    KelSyntaxElement* d = Doc::child(doc.root(), XmlTypeElement);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(Doc::child(d, XmlTypeAttribute, 0)->value().valueAsCharacter().toUtf8(), "xGy");
    EXPECT_EQ(Doc::child(d, XmlTypeAttribute, 1)->value().valueAsCharacter().toUtf8(), "G");
}

TEST(ParameterReference, SpansTileTheSubsetAroundTheReference) {
    const std::string text = "<!DOCTYPE d [<!ENTITY % a '<!--in-->'><!NOTATION n SYSTEM 's'>%a; <!--after-->]><d/>";
    Doc doc(text);
    KelSyntaxElement* subset = Doc::child(Doc::child(doc.root(), XmlTypeDocTypeDecl), XmlTypeInternalSubset);
    // The notation keeps its '>', the marks and the expansion have no text of their own, and the
    // item after the reference starts right after its ';'.
    EXPECT_EQ(doc.span(Doc::child(subset, XmlTypeNotationDecl)), "<!NOTATION n SYSTEM 's'>");
    EXPECT_EQ(doc.span(Doc::child(subset, XmlTypeEntityReferenceStart)), "<none>");
    EXPECT_EQ(doc.span(Doc::child(subset, XmlTypeDocTypeComment, 0)), "<none>");
    EXPECT_EQ(doc.span(Doc::child(subset, XmlTypeEntityReferenceEnd)), "<none>");
    EXPECT_EQ(doc.span(Doc::child(subset, XmlTypeDocTypeComment, 1)), "<!--after-->");
    KelSyntaxElement* blank = nullptr;
    for (KelSyntaxElement* c : Doc::children(subset))
        if (c->type() == XmlTypeDocTypeWhiteSpace && doc.span(c) != "<none>") blank = c;
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(doc.span(blank), " ");
}

TEST(ParameterReference, AReferenceToAnEntityDeclaredNowhereIsMarkedWithNothingBetween) {
    // No reader opens for it: it is read back from the document's text, before the next item,
    // after a notation's late '>', among blanks and expanded references, and before the ']'.
    const std::string text =
        "<!DOCTYPE d [%u;<!NOTATION n SYSTEM 's'>%v; %w;<!ENTITY % e ''>%e;%y;<!--b--><!ATTLIST d a CDATA #IMPLIED>%z; %x;]><d/>";
    Doc doc(text);
    EXPECT_EQ(subsetItems(doc),
              (std::vector<std::string>{"EntityReferenceStart=u", "EntityReferenceEnd=u", "NotationDecl:n",
                                        "EntityReferenceStart=v", "EntityReferenceEnd=v", "EntityReferenceStart=w",
                                        "EntityReferenceEnd=w", "ParameterEntityDecl:e", "EntityReferenceStart=e",
                                        "EntityReferenceEnd=e", "EntityReferenceStart=y", "EntityReferenceEnd=y",
                                        "DocTypeComment=b", "AttList:d", "EntityReferenceStart=z",
                                        "EntityReferenceEnd=z", "EntityReferenceStart=x", "EntityReferenceEnd=x"}));
    KelSyntaxElement* subset = Doc::child(Doc::child(doc.root(), XmlTypeDocTypeDecl), XmlTypeInternalSubset);
    EXPECT_EQ(doc.span(Doc::child(subset, XmlTypeNotationDecl)), "<!NOTATION n SYSTEM 's'>");
    EXPECT_EQ(doc.span(Doc::child(subset, XmlTypeParameterEntityDecl)), "<!ENTITY % e ''>");
    EXPECT_EQ(doc.span(Doc::child(subset, XmlTypeDocTypeComment)), "<!--b-->");
    // In UTF-16 and EBCDIC alike.
    for (int ccsid : {1200, 37}) {
        Doc paged(encodeAs(text, ccsid), ccsid, ccsid == 1200 ? 273 : 785);
        EXPECT_EQ(subsetItems(paged), subsetItems(doc)) << ccsid;
    }
}

TEST(ParameterReference, ManyReferencesBeforeALongItemAreAllRead) {
    // The text is read in windows: references and names cut at a window's end, and a comment far
    // longer than any window, in a page of one byte per character and in one of two.
    std::string references;
    std::vector<std::string> expected{"NotationDecl:n"};
    for (int i = 0; i < 150; ++i) {
        const std::string name = "ref" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 7), 'x');
        references += "%" + name + ";";
        expected.push_back("EntityReferenceStart=" + name);
        expected.push_back("EntityReferenceEnd=" + name);
    }
    const std::string comment(20000, 'c');
    expected.push_back("DocTypeComment=" + comment);
    const std::string text = "<!DOCTYPE d [<!NOTATION n SYSTEM 's' >" + references + "<!--" + comment + "-->]><d/>";
    for (int ccsid : {1208, 1200}) {
        Doc doc(encodeAs(text, ccsid), ccsid, ccsid == 1200 ? 273 : 546);
        EXPECT_EQ(subsetItems(doc), expected) << ccsid;
        KelSyntaxElement* subset = Doc::child(Doc::child(doc.root(), XmlTypeDocTypeDecl), XmlTypeInternalSubset);
        EXPECT_EQ(doc.span(Doc::child(subset, XmlTypeNotationDecl)), "<!NOTATION n SYSTEM 's' >") << ccsid;
        EXPECT_EQ(doc.span(Doc::child(subset, XmlTypeDocTypeComment)), "<!--" + comment + "-->") << ccsid;
    }
}

TEST(ParameterReference, AnErrorInsideAnExpansionEndsTheScanCleanly) {
    // The scanner frees the entities before it closes the readers of a document it gives up:
    // nothing may read them then (the sanitizer build sees it).
    for (const char* text : {"<!DOCTYPE d [<!ENTITY % p '<!ELEMENT d (a,|b)>'>%p;]><d/>",
                             "<!DOCTYPE d [<!ENTITY % q '<!--q-->'><!ENTITY % p '&#37;q;<!ELEMENT d (a,|b)>'>%p;]><d/>",
                             "<!DOCTYPE d [<!ENTITY % p '<!--a-->'>%p;<!ELEMENT d (a,|b)>]><d/>"}) {
        Doc doc(text);
        EXPECT_THROW(Doc::children(doc.root()), KelException) << text;
        doc.load("<!DOCTYPE d [<!ENTITY % a '<!--y-->'>%a;]><d/>");
        EXPECT_EQ(subsetItems(doc), (std::vector<std::string>{"ParameterEntityDecl:a", "EntityReferenceStart=a",
                                                              "DocTypeComment=y", "EntityReferenceEnd=a"}))
            << text;
    }
}

TEST(ParameterReference, ARecursiveReferenceFailsWithoutLeavingMarksOpen) {
    Doc doc("<!DOCTYPE d [<!ENTITY % a '<!--x-->%a;'>%a;]><d/>");
    EXPECT_THROW(Doc::children(doc.root()), KelException);
    // The builder serves the next document as if nothing had happened.
    doc.load("<!DOCTYPE d [<!ENTITY % a '<!--y-->'>%a;]><d/>");
    EXPECT_EQ(subsetItems(doc), (std::vector<std::string>{"ParameterEntityDecl:a", "EntityReferenceStart=a",
                                                          "DocTypeComment=y", "EntityReferenceEnd=a"}));
}

TEST(ParameterReference, OnlyTextOfWholeDeclarationsIsMarked) {
    EXPECT_TRUE(whole(u""));
    EXPECT_TRUE(whole(u" <!ENTITY x 'a>b'> <!--c > ' -->\n<?pi ' > ?>%p;<!ELEMENT e (#PCDATA)>\t"));
    EXPECT_TRUE(whole(u"<!ATTLIST e a CDATA \"<\">"));
    EXPECT_FALSE(whole(u"<!ELEMENT e"));            // runs on into what follows the reference
    EXPECT_FALSE(whole(u"ANY>"));                   // finishes a declaration begun before it
    EXPECT_FALSE(whole(u"<!ENTITY x 'open>"));      // a literal left open
    EXPECT_FALSE(whole(u"<!-- open -"));
    EXPECT_FALSE(whole(u"<?pi open"));
    EXPECT_FALSE(whole(u"<![INCLUDE[<!ELEMENT e ANY>]]>"));   // no conditional section here
    EXPECT_FALSE(whole(u"%p"));
    EXPECT_FALSE(whole(u"%;"));
    EXPECT_FALSE(whole(u"<e/>"));
    // A document whose entity holds part of a declaration reads as its declarations, unmarked.
    Doc doc("<!DOCTYPE d [<!ENTITY % p '<!--c--><!ELEMENT d'>%p; ANY>]><d/>");
    try {
        const std::vector<std::string> items = subsetItems(doc);
        for (const std::string& item : items) EXPECT_EQ(item.find("EntityReference"), std::string::npos) << item;
    } catch (const KelException&) {
        // refused by the scanner: nothing to mark either
    }
}

namespace {

// The document element's attributes as "name=value", in order, and its content as the host reads
// it: text as itself, a reference as "&name{" ... "}".
std::string documentElementAsRead(Doc& doc) {
    KelSyntaxElement* d = doc.documentElement();
    if (d == nullptr) return "<no document element>";
    std::string out;
    for (KelSyntaxElement* c : Doc::children(d)) {
        switch (c->type()) {
        case XmlTypeAttribute: out += "@" + c->name().toUtf8() + "=" + c->value().valueAsCharacter().toUtf8() + " "; break;
        case XmlTypeEntityReferenceStart: out += "&" + c->value().valueAsCharacter().toUtf8() + "{"; break;
        case XmlTypeEntityReferenceEnd: out += "}"; break;
        default: out += c->value().valueAsCharacter().toUtf8(); break;
        }
    }
    return out;
}

} // namespace

TEST(ParameterReference, DeclarationsAfterAnUnreadEntityAreNotProcessed) {
    // XML 1.0 section 5.1: after a reference to a parameter entity that is not read (an external
    // one), entity and attribute-list declarations are not processed, since what the entity holds
    // may declare the same names first. The declarations before it are, and so is the first
    // declaration of a name that a later one repeats; the five predefined entities stay what they
    // are. An entity left undeclared is kept as a reference, with nothing in it, as one that no
    // declaration defines; an attribute left undeclared gets no default and no normalisation.
    Doc doc("<!DOCTYPE d [<!ENTITY f 'F'><!ATTLIST d b CDATA 'early'><!ENTITY % e SYSTEM 'e.ent'>%e;"
            "<!ATTLIST d a CDATA 'late' b CDATA 'late'><!ATTLIST d n NMTOKENS #IMPLIED>"
            "<!ENTITY g 'G'><!ENTITY f 'late'><!ENTITY lt '&#38;#60;'>"
            "<!ENTITY % p '<!ENTITY h \"H\"><!ATTLIST d c CDATA \"in-p\">'>%p;]>"
            "<d n=' x  y ' v='[&g;]'>&f;&g;&h;&lt;</d>");
    EXPECT_EQ(documentElementAsRead(doc), "@n= x  y  @v=[] @b=early &f{F}&g{}&h{}<");
    // The subset still holds every declaration as written.
    EXPECT_EQ(subsetItems(doc),
              (std::vector<std::string>{"EntityDecl:f", "AttList:d", "ExternalParameterEntityDecl:e",
                                        "EntityReferenceStart=e", "EntityReferenceEnd=e", "AttList:d", "AttList:d",
                                        "EntityDecl:g", "EntityDecl:f", "EntityDecl:lt", "ParameterEntityDecl:p",
                                        "EntityReferenceStart=p", "EntityDecl:h", "AttList:d", "EntityReferenceEnd=p"}));
    // Only when a declaration comes after the reference: the same entity and list before it count.
    doc.load("<!DOCTYPE d [<!ENTITY % e SYSTEM 'e.ent'><!ATTLIST d a CDATA 'v'><!ENTITY g 'G'>%e;]><d>&g;</d>");
    EXPECT_EQ(documentElementAsRead(doc), "@a=v &g{G}");
    // An internal parameter entity is read: what follows its reference is processed.
    doc.load("<!DOCTYPE d [<!ENTITY % i '<!--i-->'>%i;<!ATTLIST d a CDATA 'v'><!ENTITY g 'G'>]><d>&g;</d>");
    EXPECT_EQ(documentElementAsRead(doc), "@a=v &g{G}");
}

TEST(ParameterReference, AStandaloneDocumentProcessesTheDeclarationsAfterAnUnreadEntity) {
    Doc doc("<?xml version='1.0' standalone='yes'?><!DOCTYPE d [<!ENTITY % e SYSTEM 'e.ent'>%e;"
            "<!ATTLIST d a CDATA 'v'><!ENTITY g 'G'>]><d>&g;</d>");
    EXPECT_EQ(documentElementAsRead(doc), "@a=v &g{G}");
}

TEST(ParameterReference, DeclarationsAfterAnUnreadEntityAreStillCheckedForWellFormedness) {
    // Not processed, they are still read: their own syntax and literals must be well-formed. The
    // text of an entity left undeclared is not read where it is referred to.
    Doc doc("<!DOCTYPE d [<!ENTITY % e SYSTEM 'e.ent'>%e;<!ENTITY g '<x>'>]><d>&g;</d>");
    EXPECT_EQ(documentElementAsRead(doc), "&g{}");
    for (const char* text : {"<!DOCTYPE d [<!ENTITY % e SYSTEM 'e.ent'>%e;<!ATTLIST d a CDATA '<'>]><d/>",
                             "<!DOCTYPE d [<!ENTITY % e SYSTEM 'e.ent'>%e;<!ENTITY g 'G'>]><d>&g</d>",
                             "<!DOCTYPE d [<!ENTITY % e SYSTEM 'e.ent'>%e;<!ENTITY g 'G'>]><d>&#0;</d>",
                             "<!DOCTYPE d [<!ENTITY % e SYSTEM 'e.ent'>%e;<!ENTITY g 'G>]><d/>"}) {
        doc.load(text);
        EXPECT_THROW(documentElementAsRead(doc), KelException) << text;
    }
    // A scanner that served such a document serves the next one as new: the declarations count.
    doc.load("<!DOCTYPE d [<!ATTLIST d a CDATA 'v'><!ENTITY g 'G'>]><d>&g;</d>");
    EXPECT_EQ(documentElementAsRead(doc), "@a=v &g{G}");
}
