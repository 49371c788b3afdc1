// XmlMarkupRules: the character classes of XML names and the texts that may not stand in markup.
#include "writer/XmlMarkupRules.hpp"

#include <string>
#include <vector>

namespace {

bool isNameStartChar(char32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
           (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool isNameChar(char32_t c) {
    if (c < 0x80) return isNameStartChar(c) || c == '-' || c == '.' || (c >= '0' && c <= '9');
    return isNameStartChar(c) || c == 0xB7 || (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

bool isSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

bool isModelMark(char16_t c) {
    return c == u'(' || c == u')' || c == u'|' || c == u',' || c == u'?' || c == u'*' || c == u'+';
}

// A name (or, with `token`, a name token) read at `at`, up to white space or a mark of the
// content model or enumeration; `at` moves past it.
bool readName(const KelStringBase& text, std::size_t& at, bool token) {
    const std::size_t from = at;
    while (at < text.length() && !isSpace(text[at]) && !isModelMark(text[at])) ++at;
    if (at == from) return false;
    const KelStringBase name = text.substr(from, at - from);
    // A name token is a name once a letter stands before it.
    return XmlMarkupRules::isName(token ? KelStringBase(u"a") + name : name);
}

void skipSpace(const KelStringBase& text, std::size_t& at) {
    while (at < text.length() && isSpace(text[at])) ++at;
}

bool isEnd(const KelStringBase& text, std::size_t at) {
    skipSpace(text, at);
    return at == text.length();
}

// "(" names or name tokens separated by "|" ")", from `at` to the end.
bool isChoiceOfNames(const KelStringBase& text, std::size_t at, bool tokens) {
    skipSpace(text, at);
    if (at == text.length() || text[at] != u'(') return false;
    for (;;) {
        ++at;
        skipSpace(text, at);
        if (!readName(text, at, tokens)) return false;
        skipSpace(text, at);
        if (at == text.length()) return false;
        if (text[at] == u')') return isEnd(text, at + 1);
        if (text[at] != u'|') return false;
    }
}

bool isMixedContent(const KelStringBase& text, std::size_t at) {
    // At "#PCDATA", after the opening parenthesis.
    static const KelStringBase pcdata(u"#PCDATA");
    if (text.substr(at, pcdata.length()) != pcdata) return false;
    at += pcdata.length();
    bool names = false;
    for (;;) {
        skipSpace(text, at);
        if (at == text.length()) return false;
        if (text[at] == u')') break;
        if (text[at] != u'|') return false;
        ++at;
        skipSpace(text, at);
        if (!readName(text, at, false)) return false;
        names = true;
    }
    ++at;
    // With names the group repeats; "(#PCDATA)" may repeat or not.
    if (at < text.length() && text[at] == u'*') ++at;
    else if (names) return false;
    return isEnd(text, at);
}

bool isChildrenModel(const KelStringBase& text, std::size_t at) {
    // At the opening parenthesis. Groups nest on a stack of their own, not the call stack.
    struct Group {
        char16_t separator;
    };
    std::vector<Group> open;
    for (;;) {
        // A content particle: a group opens, or a name.
        skipSpace(text, at);
        if (at < text.length() && text[at] == u'(') {
            open.push_back(Group{0});
            ++at;
            continue;
        }
        if (!readName(text, at, false)) return false;
        if (at < text.length() && (text[at] == u'?' || text[at] == u'*' || text[at] == u'+')) ++at;
        // What follows a particle: a separator (the same throughout a group), or the group's end.
        for (;;) {
            skipSpace(text, at);
            if (at == text.length() || open.empty()) return false;
            const char16_t c = text[at++];
            if (c == u'|' || c == u',') {
                if (open.back().separator != 0 && open.back().separator != c) return false;
                open.back().separator = c;
                break;
            }
            if (c != u')') return false;
            open.pop_back();
            if (at < text.length() && (text[at] == u'?' || text[at] == u'*' || text[at] == u'+')) ++at;
            if (open.empty()) return isEnd(text, at);
        }
    }
}

} // namespace

bool XmlMarkupRules::isContentModel(const KelStringBase& model) {
    std::size_t at = 0;
    skipSpace(model, at);
    for (const char16_t* keyword : {u"EMPTY", u"ANY"}) {
        const KelStringBase word(keyword);
        if (model.substr(at, word.length()) == word) return isEnd(model, at + word.length());
    }
    if (at == model.length() || model[at] != u'(') return false;
    std::size_t inner = at + 1;
    skipSpace(model, inner);
    if (inner < model.length() && model[inner] == u'#') return isMixedContent(model, inner);
    return isChildrenModel(model, at);
}

bool XmlMarkupRules::isAttributeType(const KelStringBase& keyword, const KelStringBase& enumeration) {
    if (keyword.empty()) return isChoiceOfNames(enumeration, 0, true);
    if (keyword == KelStringBase(u"NOTATION")) return isChoiceOfNames(enumeration, 0, false);
    for (const char16_t* type : {u"CDATA", u"ID", u"IDREF", u"IDREFS", u"ENTITY", u"ENTITIES", u"NMTOKEN", u"NMTOKENS"})
        if (keyword == KelStringBase(type)) return isEnd(enumeration, 0);
    return false;
}

bool XmlMarkupRules::isDefaultKeyword(const KelStringBase& keyword) {
    return keyword == KelStringBase(u"IMPLIED") || keyword == KelStringBase(u"REQUIRED") ||
           keyword == KelStringBase(u"FIXED");
}

bool XmlMarkupRules::isName(const KelStringBase& name) {
    const std::size_t n = name.length();
    if (n == 0) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char32_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return false; // half a pair stands for no character
        }
        if (i == 0 ? !isNameStartChar(c) : !isNameChar(c)) return false;
    }
    return true;
}

bool XmlMarkupRules::isReservedTarget(const KelStringBase& target) {
    return target.length() == 3 && (target[0] | 0x20) == u'x' && (target[1] | 0x20) == u'm' &&
           (target[2] | 0x20) == u'l';
}

bool XmlMarkupRules::isCommentText(const KelStringBase& text) {
    return text.find(KelStringBase(u"--")) == KelStringBase::npos && (text.empty() || text[text.length() - 1] != u'-');
}

bool XmlMarkupRules::isInstructionData(const KelStringBase& data) {
    return data.find(KelStringBase(u"?>")) == KelStringBase::npos;
}

bool XmlMarkupRules::isSystemLiteral(const KelStringBase& text) {
    return text.find(u'"') == KelStringBase::npos || text.find(u'\'') == KelStringBase::npos;
}

bool XmlMarkupRules::isPublicIdLiteral(const KelStringBase& text) {
    static const char16_t kMarks[] = u" \r\n-'()+,./:=?;!*#@$_%";
    for (std::size_t i = 0; i < text.length(); ++i) {
        const char16_t c = text[i];
        const bool alphanumeric = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
        if (!alphanumeric && std::char_traits<char16_t>::find(kMarks, sizeof kMarks / sizeof kMarks[0] - 1, c) == nullptr)
            return false;
    }
    return true;
}

bool XmlMarkupRules::isWhiteSpace(const KelStringBase& text) {
    for (std::size_t i = 0; i < text.length(); ++i)
        if (text[i] != u' ' && text[i] != u'\t' && text[i] != u'\n' && text[i] != u'\r') return false;
    return true;
}

bool XmlMarkupRules::isVersionNumber(const KelStringBase& version) {
    const std::size_t n = version.length();
    if (n < 3 || version[0] != u'1' || version[1] != u'.') return false;
    for (std::size_t i = 2; i < n; ++i)
        if (version[i] < u'0' || version[i] > u'9') return false;
    return true;
}

bool XmlMarkupRules::isStandaloneValue(const KelStringBase& standalone) {
    return standalone == KelStringBase(u"yes") || standalone == KelStringBase(u"no");
}

bool XmlMarkupRules::isEncodingName(const KelStringBase& encoding) {
    const std::size_t n = encoding.length();
    auto letter = [](char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); };
    if (n == 0 || !letter(encoding[0])) return false;
    for (std::size_t i = 1; i < n; ++i) {
        const char16_t c = encoding[i];
        if (!letter(c) && !(c >= u'0' && c <= u'9') && c != u'.' && c != u'_' && c != u'-') return false;
    }
    return true;
}
