// Names come from a cache of the names a document repeats: a name must never be taken for another
// that shares its slot, and every element's name hash must be the hash of its own name.
#include "BuilderTestDocument.hpp"

#include "builder/XmlNameCache.hpp"

#include <set>
#include <string>
#include <vector>

TEST(XmlNameCache, NamesThatShareASlotNeverStandInForEachOther) {
    XmlNameCache cache;
    KelNameTable table;
    // Same length, same first, middle and last unit: they land in one slot.
    const std::u16string a = u"aXcde", b = u"aYcde";
    const std::u16string longName = u"averyveryverylongelementname_1";
    for (int round = 0; round < 3; ++round) {
        for (const std::u16string* name : {&a, &b, &a, &longName, &b}) {
            const XmlNameCache::Entry& entry = cache.find(name->data(), name->size(), table);
            EXPECT_EQ(entry.name->view(), std::u16string_view(*name));
            EXPECT_EQ(KelNameTable::storedHash(*entry.name), KelSyntaxElement::nameHash(*entry.name));
        }
    }
    EXPECT_EQ(table.size(), 3u); // each name kept once, however often it came back
    EXPECT_EQ(cache.find(u"", 0, table).name, &KelNameTable::empty());
    // A cleared table voids every pointer the cache held: the names are made again.
    table.clear();
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(cache.find(a.data(), a.size(), table).name->view(), std::u16string_view(a));
    EXPECT_EQ(table.size(), 1u);
    // So does another table.
    KelNameTable other;
    const XmlNameCache::Entry& moved = cache.find(a.data(), a.size(), other);
    EXPECT_EQ(other.size(), 1u);
    EXPECT_EQ(moved.name, other.intern(KelStringBase(a.data(), a.size())));
}

TEST(XmlNameCache, ElementsAndAttributesOfADocumentKeepTheirOwnNames) {
    // Element and attribute names that collide in the cache, long names held in shared blocks,
    // and attributes of one tag that evict each other.
    std::string doc = "<root>";
    std::vector<std::string> expected = {"root"};
    for (int i = 0; i < 40; ++i) {
        const std::string element = i % 2 ? "aXcde" : "aYcde";
        const std::string longName = "averyveryverylongelementname_" + std::to_string(i % 3);
        doc += "<" + element + " p" + std::to_string(i % 5) + "q='1' pZq=\"2\"><" + longName + "/></" + element + ">";
        expected.insert(expected.end(), {element, "p" + std::to_string(i % 5) + "q", "pZq", longName});
    }
    doc += "</root>";
    BuilderTestDocument parsed(doc);
    std::vector<std::string> names;
    std::vector<KelSyntaxElement*> stack = {parsed.root()->firstChild()};
    while (!stack.empty()) {
        KelSyntaxElement* e = stack.back();
        stack.pop_back();
        if (e->type() != XmlTypeElement && e->type() != XmlTypeAttribute) continue;
        names.push_back(e->name().toUtf8());
        EXPECT_EQ(e->storedNameHash(), KelSyntaxElement::nameHash(e->storedName())) << names.back();
        std::vector<KelSyntaxElement*> children;
        for (KelSyntaxElement* c = e->firstChild(); c; c = c->nextSibling()) children.push_back(c);
        stack.insert(stack.end(), children.rbegin(), children.rend());
    }
    EXPECT_EQ(names, expected);
}

TEST(XmlNameCache, ANameFoundByKeyIsTheOneFindWouldGive) {
    const std::u16string a = u"aXcde", b = u"aYcde";   // one slot: each takes it from the other
    const int key = 0, otherKey = 0;
    struct Case {
        const char* what;
        void (*after)(XmlNameCache&, KelNameTable&, const std::u16string& other);
        bool known;
    };
    const Case cases[] = {
        {"nothing since", [](XmlNameCache&, KelNameTable&, const std::u16string&) {}, true},
        {"another name in another slot", [](XmlNameCache& cache, KelNameTable& table, const std::u16string&) {
             cache.find(u"elsewhere", 9, table);
         }, true},
        {"the keys forgotten", [](XmlNameCache& cache, KelNameTable&, const std::u16string&) { cache.forgetKeys(); }, false},
        {"its entry taken by another name", [](XmlNameCache& cache, KelNameTable& table, const std::u16string& other) {
             cache.find(other.data(), other.size(), table);
         }, false},
        {"the table cleared", [](XmlNameCache&, KelNameTable& table, const std::u16string&) { table.clear(); }, false},
        {"the cache cleared", [](XmlNameCache& cache, KelNameTable&, const std::u16string&) { cache.clear(); }, false},
    };
    for (const Case& c : cases) {
        XmlNameCache cache;
        KelNameTable table;
        const XmlNameCache::Entry& entry = cache.find(a.data(), a.size(), table);
        cache.rememberKey(&key, entry, a.data());
        c.after(cache, table, b);
        const XmlNameCache::Keyed* keyed = cache.findKeyed(&key, table);
        EXPECT_EQ(keyed != nullptr, c.known) << c.what;
        if (keyed != nullptr) {
            EXPECT_EQ(keyed->entry, &cache.find(a.data(), a.size(), table)) << c.what;
            EXPECT_EQ(keyed->text, a.data()) << c.what;
        }
        EXPECT_EQ(cache.findKeyed(&otherKey, table), nullptr) << c.what;   // never remembered
        KelNameTable other;
        EXPECT_EQ(cache.findKeyed(&key, other), nullptr) << c.what;        // another table's names
    }
}

TEST(XmlNameCache, ElementNamesAreRightInEveryDocumentOfAReusedParser) {
    // Each document names its elements anew, in the same order and nesting as the one before, so
    // that the scanner's declarations of the next document's names may stand where the last
    // document's stood (a new document type's declarations take the place of the last one's).
    const std::vector<std::string> documents = {
        "<r><a/><b x='1'/><a/><c><b/></c></r>",
        "<s><d/><e x='1'/><d/><f><e/></f></s>",
        "<!DOCTYPE t [<!ELEMENT t ANY><!ELEMENT g ANY><!ELEMENT h ANY>]><t><g/><h x='1'/><g/><i><h/></i></t>",
        "<!DOCTYPE u [<!ELEMENT u ANY><!ELEMENT j ANY><!ELEMENT k ANY>]><u><j/><k x='1'/><j/><i><k/></i></u>",
        "<r><a/><b x='1'/><a/><c><b/></c></r>",
    };
    const std::vector<std::vector<std::string>> expected = {
        {"r", "a", "b", "x", "a", "c", "b"},
        {"s", "d", "e", "x", "d", "f", "e"},
        {"t", "g", "h", "x", "g", "i", "h"},
        {"u", "j", "k", "x", "j", "i", "k"},
        {"r", "a", "b", "x", "a", "c", "b"},
    };
    BuilderTestDocument parsed(documents[0]);
    for (std::size_t d = 0; d < documents.size(); ++d) {
        if (d > 0) parsed.load(documents[d]);
        std::vector<std::string> names;
        std::vector<KelSyntaxElement*> stack = {parsed.root()->firstChild()};
        while (!stack.empty()) {
            KelSyntaxElement* e = stack.back();
            stack.pop_back();
            if (e == nullptr) continue;
            stack.push_back(e->nextSibling());
            if (e->type() != XmlTypeElement && e->type() != XmlTypeAttribute) continue;
            names.push_back(e->name().toUtf8());
            stack.push_back(e->firstChild());
        }
        EXPECT_EQ(names, expected[d]) << documents[d];
    }
}
