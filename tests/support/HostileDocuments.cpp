#include "tests/support/HostileDocuments.hpp"

namespace {

// A chain of `levels` entities named name0..., each `fan` references to the one below; the
// lowest holds `leaf`. `mark` is "" for general entities and "% " for parameter entities.
std::string chain(const std::string& name, const std::string& leaf, int levels, int fan, const char* mark) {
    std::string text = "<!ENTITY " + std::string(mark) + name + "0 \"" + leaf + "\">";
    const std::string ref = std::string(*mark == '%' ? "&#37;" : "&") + name;
    for (int level = 1; level < levels; ++level)
        text += "<!ENTITY " + std::string(mark) + name + std::to_string(level) + " \"" +
                HostileDocuments::repeat(ref + std::to_string(level - 1) + ";", fan) + "\">";
    return text;
}

std::vector<HostileDocument> build() {
    using H = HostileDocuments;
    std::vector<HostileDocument> docs;
    auto add = [&docs](std::string shape, std::string text, bool wellFormed = true) {
        docs.push_back(HostileDocument{std::move(shape), std::move(text), wellFormed});
    };
    const std::string laughs = chain("l", "lol", 10, 10, "");
    add("laughs in content", "<!DOCTYPE r [" + laughs + "]><r>&l9;</r>");
    add("laughs in an attribute", "<!DOCTYPE r [" + laughs + "]><r a='&l9;'/>");
    add("laughs in a default", "<!DOCTYPE r [" + laughs + "<!ATTLIST r a CDATA '&l9;'>]><r/>");
    add("laughs of elements", "<!DOCTYPE r [" + chain("e", "<i/>", 8, 10, "") + "]><r>&e7;</r>");
    add("laughs between declarations", "<!DOCTYPE r [" + chain("p", "<!--c-->", 9, 10, "% ") + "%p8;]><r/>");
    add("laughs of declarations", "<!DOCTYPE r [" + chain("p", "<!ENTITY x 'y'>", 9, 10, "% ") + "%p8;]><r/>");
    // Doubling chains over a long base value: few levels reach gigabytes.
    const std::string base = H::repeat("ah", 20000);
    add("laughs over a long value in an attribute",
        "<!DOCTYPE b [" + chain("l", base, 31, 2, "") + "]><b a=\"&l29;\">t</b>");
    add("laughs over a long value in content", "<!DOCTYPE b [" + chain("l", base, 31, 2, "") + "]><b>&l29;</b>");
    const std::string longName(1000, 'n');
    add("laughs with long entity names",
        "<!DOCTYPE b [" + chain(longName, H::repeat("x", 5000), 30, 2, "") + "]><b a=\"&" + longName + "29;\">t</b>");
    const std::string big(50000, 'A');
    add("quadratic content", "<!DOCTYPE q [<!ENTITY a \"" + big + "\">]><q>" + H::repeat("&a;", 16000) + "</q>");
    add("quadratic attribute", "<!DOCTYPE r [<!ENTITY b \"" + big + "\">]><r a='" + H::repeat("&b;", 8000) + "'/>");
    add("quadratic defaults", "<!DOCTYPE r [<!ATTLIST d a CDATA \"" + big + "\">]><r>" + H::repeat("<d/>", 12000) + "</r>");
    add("quadratic defaults through an entity",
        "<!DOCTYPE r [<!ENTITY e \"" + std::string(4000, 'E') + "\"><!ATTLIST i a CDATA \"&e;&e;&e;&e;&e;\">]><r>" +
            H::repeat("<i/>", 20000) + "</r>");
    std::string manyDefaults = "<!DOCTYPE r [<!ATTLIST d";
    for (int i = 0; i < 2000; ++i) manyDefaults += " a" + std::to_string(i) + " CDATA 'v'";
    add("many defaulted attributes", manyDefaults + ">]><r>" + H::repeat("<d/>", 8000) + "</r>");
    add("deep entities", "<!DOCTYPE r [" + chain("e", "x", 4000, 1, "") + "]><r>&e3999;</r>");
    add("deep parameter entities", "<!DOCTYPE r [" + chain("p", "<!--c-->", 3000, 1, "% ") + "%p2999;]><r/>");
    add("deep elements", H::repeat("<a>", 14000) + H::repeat("</a>", 14000));
    std::string wide = "<r";
    for (int i = 0; i < 9000; ++i) wide += " a" + std::to_string(i) + "=''";
    add("wide tag", wide + "/>");
    add("references to empty entities", "<!DOCTYPE r [<!ENTITY e ''>]><r>" + H::repeat("&e;", 33000) + "</r>");
    add("long element name", "<" + std::string(90000, 'a') + "/>");
    add("long attribute value", "<r a=\"" + std::string(99000, 'x') + "\"/>");
    add("long text", "<r>" + std::string(99000, 't') + "</r>");
    add("long comment", "<r><!--" + std::string(99000, 'c') + "--></r>");
    // After a reference to an external parameter entity (never read) entity and attribute-list
    // declarations go unprocessed: the same defaults and references everywhere, and an entity
    // whose text would not be well-formed content is not read where it is referred to.
    add("declarations after an unread parameter entity",
        "<!DOCTYPE d [<!ENTITY % e SYSTEM 'e.ent'>%e; <!ATTLIST d a CDATA 'late'><!ENTITY g 'G'>]>"
        "<d b='&g;'>&g;<i>&g;</i></d>");
    add("an ill-formed entity declared after an unread parameter entity",
        "<!DOCTYPE d [<!ENTITY % e SYSTEM 'e.ent'>%e; <!ENTITY g '<x>'>]><d>&g;</d>");
    // The edges of a document: the same judgement everywhere.
    add("empty input", "", false);
    add("white space only", " \n\t ", false);
    add("declaration only", "<?xml version=\"1.0\"?>", false);
    add("a cut character after the document", "<doc></doc>\xc3", false);
    add("a stray byte after the document", "<doc></doc>\xff", false);
    add("text after the document", "<d/>x", false);
    add("a second document element", "<d/><e/>", false);
    add("content after NUL padding", std::string("<d/>\0<e/>", 8), false);
    add("NUL padding", std::string("<d/>\0\0\0", 7), true);
    add("a broken rest", "<order><id>1</id><items><item>a</item><item>b</oops></items></order>", false);
    return docs;
}

} // namespace

std::string HostileDocuments::repeat(const std::string& piece, int times) {
    std::string out;
    out.reserve(piece.size() * static_cast<std::size_t>(times > 0 ? times : 0));
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

const std::vector<HostileDocument>& HostileDocuments::all() {
    static const std::vector<HostileDocument> docs = build();
    return docs;
}
