// KelValue rendering and typed access.
#include "host/KelValue.hpp"

#include "host/KelException.hpp"
#include "host/KelThrow.hpp"

#include <charconv>
#include <type_traits>

namespace {
const char* kindName(KelValueKind kind) noexcept {
    switch (kind) {
    case KelValueKind::Null: return "Null";
    case KelValueKind::GmtTimeStamp: return "GmtTimeStamp";
    case KelValueKind::GmtTime: return "GmtTime";
    case KelValueKind::TimeStamp: return "TimeStamp";
    case KelValueKind::Time: return "Time";
    case KelValueKind::Date: return "Date";
    case KelValueKind::Character: return "Character";
    case KelValueKind::Double: return "Double";
    case KelValueKind::Int64: return "Int64";
    case KelValueKind::Int: return "Int";
    case KelValueKind::Bool: return "Bool";
    case KelValueKind::Bytes: return "Bytes";
    }
    return "Unknown";
}

// Looks up alternative T, or raises the value-kind error naming the kind actually held.
template <class T, class Variant>
const T& expect(const Variant& data, KelValueKind held, const char* function) {
    if (const T* value = std::get_if<T>(&data)) return *value;
    kelThrow<KelRecoverableException>(nullptr, KEL_HERE, function, KelMsg::E_Kel_ValueKind, kindName(held));
}

template <class Number>
KelStringBase numberText(Number value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return KelStringBase::fromAscii(std::string(text, result.ptr).c_str());
}

KelStringBase hexText(const KelValue::Bytes& bytes) {
    static const char16_t kDigits[] = u"0123456789ABCDEF";
    KelStringBase out;
    char16_t* units = out.resizeForOverwrite(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        *units++ = kDigits[byte >> 4];
        *units++ = kDigits[byte & 0x0F];
    }
    return out;
}
} // namespace

KelStringBase KelValue::valueAsCharacter() const {
    return std::visit(
        [](const auto& value) -> KelStringBase {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return KelStringBase();
            } else if constexpr (std::is_same_v<T, KelStringBase>) {
                return value;
            } else if constexpr (std::is_same_v<T, bool>) {
                return KelStringBase::fromAscii(value ? "true" : "false");
            } else if constexpr (std::is_same_v<T, double> || std::is_same_v<T, std::int64_t> ||
                                 std::is_same_v<T, int>) {
                return numberText(value);
            } else if constexpr (std::is_same_v<T, Bytes>) {
                return hexText(value);
            } else {
                return KelStringBase::fromAscii(value.toIso().c_str());
            }
        },
        data());
}

const KelStringBase& KelValue::characterValue() const {
    return expect<KelStringBase>(data(), kind(), "KelValue::characterValue");
}

void KelValue::setCharactersOutOfLine(const char16_t* text, std::size_t length) {
    if (text == nullptr) length = 0;
    if (KelStringBase* held = std::get_if<KelStringBase>(&data())) {
        held->assign(text, length);   // copes with text inside the string itself
        return;
    }
    if (length <= KelStringBase::kInlineCapacity && isNull()) {
        data().emplace<KelStringBase>(text, length);   // inline units: nothing to allocate, nothing to fail
        return;
    }
    KelStringBase value(text, length);   // built first: a failure keeps the old value
    data().emplace<KelStringBase>(std::move(value));
}

void KelValue::appendCharacters(const char16_t* text, std::size_t length) {
    KelStringBase* held = std::get_if<KelStringBase>(&data());
    if (held == nullptr) {
        (void)characterValue();   // raises the kind error that reading the text would
        return;
    }
    held->append(text, length);
}

double KelValue::doubleValue() const { return expect<double>(data(), kind(), "KelValue::doubleValue"); }
std::int64_t KelValue::int64Value() const { return expect<std::int64_t>(data(), kind(), "KelValue::int64Value"); }
int KelValue::intValue() const { return expect<int>(data(), kind(), "KelValue::intValue"); }
bool KelValue::boolValue() const { return expect<bool>(data(), kind(), "KelValue::boolValue"); }
const KelValue::Bytes& KelValue::bytesValue() const { return expect<Bytes>(data(), kind(), "KelValue::bytesValue"); }
const KelDate& KelValue::dateValue() const { return expect<KelDate>(data(), kind(), "KelValue::dateValue"); }
const KelTime& KelValue::timeValue() const { return expect<KelTime>(data(), kind(), "KelValue::timeValue"); }
const KelTimeStamp& KelValue::timeStampValue() const {
    return expect<KelTimeStamp>(data(), kind(), "KelValue::timeStampValue");
}
const KelGmtTime& KelValue::gmtTimeValue() const {
    return expect<KelGmtTime>(data(), kind(), "KelValue::gmtTimeValue");
}
const KelGmtTimeStamp& KelValue::gmtTimeStampValue() const {
    return expect<KelGmtTimeStamp>(data(), kind(), "KelValue::gmtTimeStampValue");
}

bool KelValue::operator==(const KelValue& other) const { return data() == other.data(); }
