// The host's exception types. A KelException carries where it was thrown (file, line, function),
// the log source, a message number with the severity in its top two bits, the message text, its
// inserts and any nested exceptions that caused it; what() renders all of that readably.
//
// KelParserException derives from KelRecoverableException: a document that cannot be parsed or
// written is a failure of that message, not of the process, and the serialisation entry relies on
// this to report tree-check failures met while writing as write errors with the cause nested.
// Thread rules: an exception object is a value; copies share their nested exceptions immutably.
#pragma once

#include "host/KelStringBase.hpp"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

class KelOwnedLogSource;

class KelException : public std::exception {
public:
    static constexpr std::uint32_t kSeverityMask = 0xC0000000u;
    static constexpr std::uint32_t kSeverityError = 0xC0000000u;
    static constexpr std::uint32_t kSeverityWarning = 0x80000000u;

    KelException(const char* file, int line, const char* function, const char* logSource,
                 std::uint32_t messageNumber, const std::string& text);
    KelException(const KelOwnedLogSource* source, const char* file, int line, const char* function,
                 const char* logSource, std::uint32_t messageNumber, const std::string& text);
    ~KelException() override;

    // Inserts, in order; an exception inserted this way becomes a nested item.
    KelException& operator<<(const char* text);
    KelException& operator<<(const std::string& text);
    KelException& operator<<(const KelStringBase& text);
    KelException& operator<<(int value);
    KelException& operator<<(unsigned value);
    KelException& operator<<(long value);
    KelException& operator<<(unsigned long value);
    KelException& operator<<(long long value);
    KelException& operator<<(unsigned long long value);
    KelException& operator<<(bool value);
    KelException& operator<<(const void* pointer);
    KelException& operator<<(const KelException& nested);

    virtual const char* typeName() const noexcept { return "KelException"; }
    virtual std::unique_ptr<KelException> clone() const;
    [[noreturn]] virtual void throwThis() const;

    const std::string& file() const noexcept { return iFile; }     // base name of the source file
    int line() const noexcept { return iLine; }
    const std::string& function() const noexcept { return iFunction; }
    const std::string& logSource() const noexcept { return iLogSource; }
    std::uint32_t messageNumber() const noexcept { return iNumber; }            // with severity
    std::uint32_t catalogueNumber() const noexcept { return iNumber & ~kSeverityMask; }
    bool isError() const noexcept { return (iNumber & kSeverityMask) == kSeverityError; }
    const std::string& text() const noexcept { return iText; }
    const std::vector<std::string>& inserts() const noexcept { return iInserts; }
    const std::vector<std::shared_ptr<const KelException>>& nested() const noexcept { return iNested; }

    // One line: "QRV5009E: XML Parsing Errors have occurred (function) [inserts]"; what() adds
    // the nested exceptions, each on its own indented line.
    std::string summary() const;
    const char* what() const noexcept override;

private:
    std::string iFile;
    int iLine;
    std::string iFunction;
    std::string iLogSource;
    std::uint32_t iNumber;
    std::string iText;
    std::vector<std::string> iInserts;
    std::vector<std::shared_ptr<const KelException>> iNested;
    mutable std::string iWhat;
};

class KelRecoverableException : public KelException {
public:
    using KelException::KelException;
    const char* typeName() const noexcept override { return "KelRecoverableException"; }
    std::unique_ptr<KelException> clone() const override;
    [[noreturn]] void throwThis() const override;
};

// Where in a document a parse failed: line and column (1-based; the column counts UTF-16 code
// units from the start of the line) and the byte offset from the start of the bitstream, its
// byte-order mark included. A line of 0 means the place is unknown.
struct KelDocumentPosition {
    long line = 0;
    long column = 0;
    long offset = -1;
};

class KelParserException : public KelRecoverableException {
public:
    using KelRecoverableException::KelRecoverableException;
    const char* typeName() const noexcept override { return "KelParserException"; }
    std::unique_ptr<KelException> clone() const override;
    [[noreturn]] void throwThis() const override;

    // The place of the failure in the document, for programs and people; the message inserts
    // keep their own layout.
    const KelDocumentPosition& documentPosition() const noexcept { return iPosition; }
    long documentLine() const noexcept { return iPosition.line; }
    long documentColumn() const noexcept { return iPosition.column; }
    long documentOffset() const noexcept { return iPosition.offset; }
    bool hasDocumentPosition() const noexcept { return iPosition.line > 0; }
    // The element the failure concerns: a start tag's own element for a fault inside it (a
    // repeated attribute, a limit it breaks), otherwise the element being filled.
    const KelStringBase& faultElement() const noexcept { return iFaultElement; }
    void setDocumentPosition(const KelDocumentPosition& position) noexcept { iPosition = position; }
    void setFaultElement(const KelStringBase& name) { iFaultElement = name; }

    // The first parser exception with a place, `failure` itself or one of its causes; or null.
    static const KelParserException* positioned(const KelException& failure) noexcept;

private:
    KelDocumentPosition iPosition;
    KelStringBase iFaultElement;
};
