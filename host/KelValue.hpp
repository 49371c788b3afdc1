// KelValue: the value of a syntax element. Null by default; otherwise one of the kinds below.
// A value owns its data (a character value shares its string's block by reference count).
// Thread rules: one object, one thread at a time.
#pragma once

#include "host/KelDateTime.hpp"
#include "host/KelStringBase.hpp"

#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

enum class KelValueKind {
    Null, GmtTimeStamp, GmtTime, TimeStamp, Time, Date, Character, Double, Int64, Int, Bool, Bytes
};

// What a value holds. Alternative order matches KelValueKind.
using KelValueData = std::variant<std::monostate, KelGmtTimeStamp, KelGmtTime, KelTimeStamp, KelTime, KelDate,
                                  KelStringBase, double, std::int64_t, int, bool, std::vector<unsigned char>>;

// The data is a base, not a member, so that a class extending a value lays its own fields in the
// seven bytes after the kind, which a member's size would keep (a value cell is 56 bytes, not 64).
class KelValue : private KelValueData {
public:
    using Bytes = std::vector<unsigned char>;

    KelValue() = default;
    explicit KelValue(const KelStringBase& text) { setValue(text); }

    static KelValue createCharacter(const KelStringBase& text) { return KelValue(text); }

    KelValueKind kind() const noexcept { return static_cast<KelValueKind>(data().index()); }
    bool isNull() const noexcept { return kind() == KelValueKind::Null; }
    bool isCharacter() const noexcept { return kind() == KelValueKind::Character; }

    void setValue(const KelGmtTimeStamp& v) { data() = v; }
    void setValue(const KelGmtTime& v) { data() = v; }
    void setValue(const KelTimeStamp& v) { data() = v; }
    void setValue(const KelTime& v) { data() = v; }
    void setValue(const KelDate& v) { data() = v; }
    void setValue(const KelStringBase& v) { data() = v; }
    void setValue(KelStringBase&& v) noexcept { data() = std::move(v); }
    void setValue(double v) { data() = v; }
    void setValue(std::int64_t v) { data() = v; }
    void setValue(int v) { data() = v; }
    void setValue(bool v) { data() = v; }
    void setValue(const KelValue& v) { data() = v.data(); }
    void setBytes(const unsigned char* bytes, std::size_t length) { data() = Bytes(bytes, bytes + length); }
    // A character value of the `length` units at `text` (null: empty), built in place: the string
    // already held is reused, and no temporary string is made and moved in. A failure keeps the
    // old value.
    void setCharacters(const char16_t* text, std::size_t length) {
        // A value just made (every one a parser reads into) takes short text inline, here.
        if (isNull() && length <= KelStringBase::kInlineCapacity) {
            data().emplace<KelStringBase>(text, length);
            return;
        }
        setCharactersOutOfLine(text, length);
    }
    // Appends to the character value held, in place; any other kind raises
    // KelRecoverableException as characterValue() does, and nothing changes.
    void appendCharacters(const char16_t* text, std::size_t length);

    void copyValue(const KelValue& other) { data() = other.data(); }
    void deleteValue() noexcept { data() = std::monostate(); }

    // The value as text: ISO 8601 for dates and times, shortest round-trip text for doubles,
    // "true"/"false", decimal integers, hexadecimal digits for bytes, empty for null.
    KelStringBase valueAsCharacter() const;
    // The string of a character value; any other kind raises KelRecoverableException.
    const KelStringBase& characterValue() const;
    // The string of a character value, or null for any other kind (inline, raises nothing).
    const KelStringBase* characters() const noexcept { return std::get_if<KelStringBase>(&data()); }

    // Typed readers; each raises KelRecoverableException when the kind differs.
    double doubleValue() const;
    std::int64_t int64Value() const;
    int intValue() const;
    bool boolValue() const;
    const Bytes& bytesValue() const;
    const KelDate& dateValue() const;
    const KelTime& timeValue() const;
    const KelTimeStamp& timeStampValue() const;
    const KelGmtTime& gmtTimeValue() const;
    const KelGmtTimeStamp& gmtTimeStampValue() const;

    bool operator==(const KelValue& other) const;
    bool operator!=(const KelValue& other) const { return !(*this == other); }

private:
    void setCharactersOutOfLine(const char16_t* text, std::size_t length);
    KelValueData& data() noexcept { return *this; }
    const KelValueData& data() const noexcept { return *this; }
};
