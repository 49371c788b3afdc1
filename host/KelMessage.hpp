// KelMessage: the message whose parts the parsers handle. Parsers pass it through unread; it only
// knows the message group it belongs to. Not owned by parsers.
#pragma once

class KelMessageGroup;

class KelMessage {
public:
    explicit KelMessage(KelMessageGroup* group = nullptr) noexcept : iGroup(group) {}
    KelMessageGroup* group() const noexcept { return iGroup; }
private:
    KelMessageGroup* iGroup;
};
