#include "transfer.h"

// Placeholder until the resource writer lands: nothing is transferred.
bool TransferIcons(const std::string&, const std::string&) { return false; }
bool TransferVersionInfo(const std::string&, const std::string&) { return false; }
