// quarn::Records: the records of a message, walked in flat memory:
//     for (quarn::Node order : document.records("orders/order")) { ... }
// The message is checked whole first, without a tree (so a fault near its end is known before
// the first record is used); then each record is built as the walk reaches it, and when the walk
// moves on, the record and whatever else it passed under the same parent are deleted from the
// document, so their slots serve the next record. A record's Node is valid until the walk moves
// on; a record the host takes out (removes, or moves into another tree) does not end the walk,
// and a moved one stays where the host put it. A single pass: begin() once. One walk of a document
// at a time: a walk begun after it (another records(), or a copy of this one) makes this one's
// next step raise std::logic_error, as it would tread on what that walk deleted. Made by quarn::Document::records; lives no longer than its
// document. Thread rules: those of its document.
#pragma once

#include "document/QuarnNode.hpp"

#include <cstddef>
#include <iterator>
#include <string>
#include <utility>

class KelSyntaxElement;

namespace quarn {

class Records {
public:
    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Node;
        using difference_type = std::ptrdiff_t;
        using pointer = const Node*;
        using reference = Node;

        Node operator*() const;
        iterator& operator++();
        bool operator==(const iterator& other) const noexcept { return iRecords == other.iRecords; }
        bool operator!=(const iterator& other) const noexcept { return !(*this == other); }

    private:
        friend class Records;
        explicit iterator(Records* records) noexcept : iRecords(records) {}
        Records* iRecords;   // null at the end
    };

    iterator begin();
    iterator end() noexcept { return iterator(nullptr); }

    // How many records the walk has passed so far.
    std::size_t count() const noexcept { return iCount; }

    // Made by Document::records: the records are the elements named `name` ("*": any) among
    // the children of `parent` (none when it is null); `prototype` is a node of the document;
    // `walks` counts the walks of the document begun so far.
    Records(KelSyntaxElement* parent, std::string name, Node prototype, unsigned long* walks) noexcept
        : iParent(parent), iName(std::move(name)), iPrototype(prototype), iWalks(walks) {}

private:
    bool matches(KelSyntaxElement* element) const;
    // Moves to the next record, deleting the one left and everything passed on the way.
    void advance();

    KelSyntaxElement* iParent;
    std::string iName;
    Node iPrototype;   // a node of the document, copied for each record
    KelSyntaxElement* iCurrent = nullptr;
    unsigned long* iWalks;     // the document's count of walks begun
    unsigned long iWalk = 0;   // this walk's number in it
    bool iStarted = false;
    std::size_t iCount = 0;
};

} // namespace quarn
