#include "host/KelOwnedLogSource.hpp"

#include "host/KelLog.hpp"

KelOwnedLogSource::~KelOwnedLogSource() = default;

bool KelOwnedLogSource::isNamed() const { return false; }
const char* KelOwnedLogSource::logType() const { return iLogOwner ? iLogOwner->logType() : "source"; }
std::string KelOwnedLogSource::logName() const { return iLogOwner ? iLogOwner->logName() : KelLog::iDefaultLogSource; }
std::string KelOwnedLogSource::logLabel() const { return std::string(logType()) + ":" + logName(); }
int KelOwnedLogSource::userTraceFilter() const { return KelLog::iEffectiveLogFilter.load(std::memory_order_relaxed); }
int KelOwnedLogSource::traceFilter() const { return KelLog::iEffectiveLogFilter.load(std::memory_order_relaxed); }
bool KelOwnedLogSource::isUserTraceActive() const { return userTraceFilter() >= 3; }
bool KelOwnedLogSource::isUserDebugTraceActive() const { return userTraceFilter() >= 4; }
bool KelOwnedLogSource::isTraceActive() const { return traceFilter() >= 3; }
bool KelOwnedLogSource::isDebugTraceActive() const { return traceFilter() >= 4; }
void KelOwnedLogSource::setOwner(const KelOwnedLogSource* owner) { iLogOwner = owner; }
const KelOwnedLogSource* KelOwnedLogSource::owner() const { return iLogOwner; }
