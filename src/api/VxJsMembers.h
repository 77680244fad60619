#pragma once
// The member table of TVX_JS through which the script bridge exposes it to the page: its 26
// operations and seven text fields in declared order, no properties.

#include "bridge/MemberTable.h"

namespace vx {

// The one table, built on first use and kept for the life of the process.
const MemberTable& TVX_JS_Members();

} // namespace vx
