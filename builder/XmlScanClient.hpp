// XmlScanClient: what a document scan asks of whoever receives its events (the tree builder, the
// tree-less check) when it reports a failure: which element is being filled, and whether the
// document has ended. The client owns the scan; the scan only borrows the client.
// Thread rules: those of the client.
#pragma once

#include "host/KelStringBase.hpp"

class XmlScanClient {
public:
    virtual ~XmlScanClient() = default;
    // The name that failures report as the element being built.
    virtual KelStringBase currentElementName() = 0;
    // Whether the scan stands below the root (in the document type or the document element), so
    // that an element is at fault for a failure rather than the message as a whole.
    virtual bool insideRoot() const noexcept = 0;
    // Whether the document's end was met: a scan that stops before it has failed.
    virtual bool documentEnded() const noexcept = 0;
    // The step failed: whatever the client holds back for the step's end is settled now.
    virtual void stepFailed() noexcept {}
};
