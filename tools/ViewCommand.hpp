// ViewCommand: `quarn c14n` and `quarn format`: the message walked once through its lazy tree,
// each node written (CanonicalWriter) as the walk passes it and deleted behind it, so memory
// stays flat below the document element. The input is checked whole first, so a malformed one is
// refused as `quarn check` refuses it, before anything is written.
// One object per run, on the main thread.
#pragma once

class ParserPlugin;
class QuarnOptions;

class ViewCommand {
public:
    // Canonical XML 1.0 with comments: UTF-8, no declaration or document type, entity references
    // expanded, defaulted attributes written, namespace declarations (the ones not already in
    // scope) then attributes in canonical order, empty elements as start/end pairs.
    static int c14n(const QuarnOptions& options, const ParserPlugin& plugin);
    // Indented: the declaration (naming UTF-8) and document type kept, one child a line in an
    // element whose children hold no text (whitespace between them replaced), an element with
    // text among its children written as it is inside. Entity references are expanded and
    // defaulted attributes written, so the result reads as the input does but for whitespace.
    static int format(const QuarnOptions& options, const ParserPlugin& plugin);
};
