#include "core/Trust.h"

namespace vx {

TrustSettings Trust;

} // namespace vx
