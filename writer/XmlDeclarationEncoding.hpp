// XmlDeclarationEncoding: keeps the XML declaration true to the page a write produces. Decides
// which encoding name the declaration must give when its own does not name the output page (or
// it names none and the reader could not find the page alone), and edits a copied declaration's
// text to give it, keeping its quotes and blanks.
// Ownership: owned by the writer; owns the last answer it gave (declarations repeat per message).
// Thread rules: one write at a time, on the thread that owns the writer.
#pragma once

#include "host/KelStringBase.hpp"

#include <string>

class KelValue;

class XmlDeclarationEncoding {
public:
    // The name to write for a declaration that gives `declared` (null: no encoding), written in
    // `ccsid` with the host encoding value `encoding` and the byte order `bigEndian`; empty
    // when the declaration stays as it is.
    KelStringBase renameFor(const KelValue* declared, int ccsid, int encoding, bool bigEndian);
    // `declaration`, the text of an XML declaration, with `name` as its encoding (put after the
    // version when it names none) in `edited`; false when the text is not one to edit.
    static bool renamedText(const KelStringBase& declaration, const KelStringBase& name, KelStringBase& edited);
    // Whether the bitstream `data`, in `ccsid` (UTF-16 in the byte order of its mark, else of
    // `encoding`), starts with an XML declaration whose encoding names another page: handed back
    // as it is, it would tell its reader the wrong page. Read from the bytes alone, no scan; a
    // start that cannot be read as a declaration counts as none.
    static bool declaresAnotherPage(const unsigned char* data, long length, int ccsid, int encoding);

private:
    // The last declared encoding name looked up, the page it was compared with and the answer.
    std::string iName;
    int iNameCcsid = -1;
    KelStringBase iRename;
};
