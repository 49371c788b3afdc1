// KelOwnedLogSource: base of the classes that trace, under their own name or their owner's.
// Owns nothing (the owner pointer is not owned). Thread rules: const queries are safe from any
// thread; setOwner belongs to the object's owning thread.
#pragma once

#include <string>

class KelOwnedLogSource {
public:
    explicit KelOwnedLogSource(const KelOwnedLogSource* owner = nullptr) noexcept : iLogOwner(owner) {}
    KelOwnedLogSource(const KelOwnedLogSource&) = default;
    KelOwnedLogSource& operator=(const KelOwnedLogSource&) = default;

    virtual bool isNamed() const;               // true when this object has a name of its own
    virtual const char* logType() const;        // kind of source, e.g. "parser"
    virtual std::string logName() const;        // own name, else the owner's, else the default
    virtual std::string logLabel() const;       // type and name, for trace lines
    virtual int userTraceFilter() const;        // the process-wide level
    virtual int traceFilter() const;            // the process-wide level
    virtual bool isUserTraceActive() const;     // level 3 or more
    virtual bool isUserDebugTraceActive() const;// level 4 or more
    virtual bool isTraceActive() const;         // level 3 or more
    virtual bool isDebugTraceActive() const;    // level 4 or more
    virtual void setOwner(const KelOwnedLogSource* owner);
    virtual const KelOwnedLogSource* owner() const;
    virtual ~KelOwnedLogSource();

protected:
    // Named apart from the owners of derived classes (a builder's or writer's parser).
    const KelOwnedLogSource* iLogOwner;
};
