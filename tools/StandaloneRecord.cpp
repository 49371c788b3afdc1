#include "tools/StandaloneRecord.hpp"

#include "host/KelParserInspector.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelValue.hpp"
#include "common/XmlElementType.hpp"

namespace {
std::u16string text(const KelStringBase& s) { return std::u16string(s.view()); }

// Attributes that say something of every element below the one that carries them: namespace
// declarations, the language and the handling of white space.
bool isInherited(const KelStringBase& name) {
    const std::u16string_view v = name.view();
    return v == u"xmlns" || v.substr(0, 6) == u"xmlns:" || v == u"xml:lang" || v == u"xml:space";
}
} // namespace

StandaloneRecord::StandaloneRecord(KelSyntaxElement* root, const KelParserInspector& inspector)
    : iInspector(inspector) {
    std::set<std::pair<std::u16string, std::u16string>> declared;   // the first declaration binds
    for (KelSyntaxElement* top = root->firstChild(); top != nullptr; top = top->nextSibling()) {
        const int type = top->type();
        if (type == XmlTypeElement) break;   // the prolog ends here: nothing after it is read
        if (type != XmlTypeDocTypeDecl) continue;
        for (KelSyntaxElement* part = top->firstChild(); part != nullptr; part = part->nextSibling()) {
            if (part->type() != XmlTypeInternalSubset) continue;
            for (KelSyntaxElement* decl = part->firstChild(); decl != nullptr; decl = decl->nextSibling()) {
                if (decl->type() == XmlTypeEntityDecl) iEntities.insert(text(decl->name()));
                if (decl->type() != XmlTypeAttList) continue;
                for (KelSyntaxElement* def = decl->firstChild(); def != nullptr; def = def->nextSibling()) {
                    if (def->type() != XmlTypeAttDef) continue;
                    const bool first = declared.emplace(text(decl->name()), text(def->name())).second;
                    for (KelSyntaxElement* v = def->firstChild(); v != nullptr; v = v->nextSibling()) {
                        if (v->type() == XmlTypeAttDefValue) iDefaultedElements.insert(text(decl->name()));
                        // Any type but CDATA (an enumeration has no keyword) has its value normalised.
                        if (first && v->type() == XmlTypeAttDefType && v->name().view() != u"CDATA")
                            iNormalised.emplace(text(decl->name()), text(def->name()));
                    }
                }
            }
        }
    }
}

void StandaloneRecord::enterParent(KelSyntaxElement* parent) {
    iScope.clear();
    std::set<std::u16string> seen;
    for (KelSyntaxElement* e = parent; e != nullptr && e->type() == XmlTypeElement; e = e->parent()) {
        for (KelSyntaxElement* a = e->firstChild(); a != nullptr && a->type() == XmlTypeAttribute; a = a->nextSibling()) {
            if (!isInherited(a->name()) || !seen.insert(text(a->name())).second) continue;
            iScope.emplace_back(a->name(), a->value().valueAsCharacter());
        }
    }
}

void StandaloneRecord::refuseUnknownReferenceInAttributes(KelSyntaxElement* element, const std::string& label) const {
    // Only a start tag that held a reference to an entity the scanner did not know keeps the
    // source text of its values: the record would carry that reference undeclared.
    for (KelSyntaxElement* a = element->firstChild(); a != nullptr && a->type() == XmlTypeAttribute; a = a->nextSibling())
        if (iInspector.hasReusableSpan(a))
            throw Refused(label + " has the attribute '" + a->name().toUtf8() + "' of <" + element->name().toUtf8() +
                          "> referring to an entity that is not declared in the message's internal subset (quarn "
                          "does not read an external subset): the record cannot be written to stand alone");
}

bool StandaloneRecord::hasNormalisedAttribute(KelSyntaxElement* element) const {
    if (iNormalised.empty()) return false;
    for (KelSyntaxElement* a = element->firstChild(); a != nullptr && a->type() == XmlTypeAttribute; a = a->nextSibling())
        if (iNormalised.count({text(element->name()), text(a->name())})) return true;
    return false;
}

void StandaloneRecord::markChanged(KelSyntaxElement* element) {
    // Giving an element its own name again forgets its span: its start tag is written from the
    // tree, with every attribute it holds, while its unchanged children are still copied.
    const KelStringBase name = element->name();
    element->setName(name);
}

void StandaloneRecord::prepare(KelSyntaxElement* record, const std::string& label) {
    // Declarations (and the language and white-space handling) in scope that the record does not
    // make itself, in the order met going up.
    std::set<std::u16string> own;
    KelSyntaxElement* lastAttribute = nullptr;
    for (KelSyntaxElement* a = record->firstChild(); a != nullptr && a->type() == XmlTypeAttribute; a = a->nextSibling()) {
        own.insert(text(a->name()));
        lastAttribute = a;
    }
    for (const auto& declaration : iScope) {
        if (own.count(text(declaration.first))) continue;
        // An undeclared default namespace is what a record without a declaration has anyway.
        if (declaration.first.view() == u"xmlns" && declaration.second.empty()) continue;
        KelSyntaxElement* added = lastAttribute ? lastAttribute->createAfter() : record->createFirstChild();
        added->setType(XmlTypeAttribute);
        added->setName(declaration.first);
        added->setValue(declaration.second);
        lastAttribute = added;
    }

    // The record's elements in document order; its markers of entity references collected.
    std::vector<KelSyntaxElement*> markers;
    KelSyntaxElement* e = record;
    while (e != nullptr) {
        const int type = e->type();
        if (type == XmlTypeEntityReferenceStart || type == XmlTypeEntityReferenceEnd) {
            const KelStringBase name = e->value().valueAsCharacter();
            if (!iEntities.count(text(name)))
                throw Refused(label + " references the entity '" + name.toUtf8() +
                              "', which is not declared in the message's internal subset (quarn does not read an "
                              "external subset): the record cannot be written to stand alone");
            markers.push_back(e);
        } else if (type == XmlTypeElement) {
            KelSyntaxElement* first = e->firstChild();
            const bool hasAttributes = first != nullptr && first->type() == XmlTypeAttribute;
            refuseUnknownReferenceInAttributes(e, label);
            // A defaulted attribute has no bytes of its own in the start tag, an attribute value
            // may hold a reference to an entity the record's reader will not know, and a value the
            // document type normalises would be read unnormalised from its bytes without it: each
            // way the start tag is written from the values.
            if ((hasAttributes && !iEntities.empty()) || iDefaultedElements.count(text(e->name())) ||
                hasNormalisedAttribute(e))
                markChanged(e);
        }
        if (type == XmlTypeElement) {
            if (KelSyntaxElement* c = e->firstChild()) {
                e = c;
                continue;
            }
        }
        while (e != nullptr && e != record && e->nextSibling() == nullptr) e = e->parent();
        e = (e == nullptr || e == record) ? nullptr : e->nextSibling();
    }
    // Without its markers the replacement text is the record's own content, written as text.
    for (KelSyntaxElement* marker : markers) {
        marker->detach();
        marker->deleteElement();
    }
}
