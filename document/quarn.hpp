// The front door for applications: one include gives quarn::Document (open a message from bytes
// or a file, select, read, set and delete by path, write it in any code page) and the named
// code pages and encoding values. Underneath are the lazy parser, which scans a message only as
// far as the paths need, and the writer, which copies every unchanged element from the input.
// Hosts that drive parsers themselves use the host interface (quarn/host/, quarn/parser/).
#pragma once

#include "document/QuarnCodePages.hpp"
#include "document/QuarnDocument.hpp"
#include "document/QuarnNode.hpp"
