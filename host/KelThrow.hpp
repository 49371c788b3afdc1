// The one way to raise a host exception: writes the "Throwing exception" trace item (file, line,
// identifier, text, then the inserts) when tracing is on, builds the exception from the message
// table entry with the same inserts, and throws it. A throw site is one statement:
//   kelThrow<KelParserException>(this, KEL_HERE, "XmlKelParser::parseFirstChild",
//                                KelMsg::E_XmlP_ParseError, caught);
#pragma once

#include "host/KelException.hpp"
#include "host/KelLog.hpp"
#include "host/KelMessageTable.hpp"

#define KEL_HERE __FILE__, __LINE__

template <class E, class... Inserts>
[[noreturn]] void kelThrow(const KelOwnedLogSource* source, const char* file, int line,
                           const char* function, const KelMessageDef& message,
                           const Inserts&... inserts) {
    if (KelLog::isTraceActive()) {
        KelLog::TraceItem item(source, function, "Throwing exception");
        item << file << line << message.identifier << message.text;
        (void)(item << ... << inserts);
        item.writeToFile();
    }
    E exception(source, file, line, function, KelLog::iDefaultLogSource, message.number, message.text);
    (void)(exception << ... << inserts);
    throw exception;
}

// The same for a parse failure at a known place in the document (and with the element it
// concerns), which the exception carries beside its inserts.
template <class... Inserts>
[[noreturn]] void kelThrowAt(const KelDocumentPosition& where, const KelStringBase& faultElement,
                             const KelOwnedLogSource* source, const char* file, int line, const char* function,
                             const KelMessageDef& message, const Inserts&... inserts) {
    if (KelLog::isTraceActive()) {
        KelLog::TraceItem item(source, function, "Throwing exception");
        item << file << line << message.identifier << message.text;
        (void)(item << ... << inserts);
        item.writeToFile();
    }
    KelParserException exception(source, file, line, function, KelLog::iDefaultLogSource, message.number, message.text);
    (void)(exception << ... << inserts);
    exception.setDocumentPosition(where);
    exception.setFaultElement(faultElement);
    throw exception;
}
