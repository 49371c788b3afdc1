#include "builder/XmlBoundedScanner.hpp"

void XmlBoundedScanner::lowerExpansionLimit(XMLSize_t limit) noexcept {
    if (limit < 1) limit = 1;
    if (getSecurityManager() != nullptr && limit < fEntityExpansionLimit) fEntityExpansionLimit = limit;
}
