#include "bridge/Engine.h"

#include <cmath>

namespace vx {

bool ScriptValue::isInt() const {
    if (!isDouble())
        return false;
    const double d = std::get<double>(m_v);
    // -0 is a double only, as in V8; NaN fails both comparisons.
    if (!(d >= -2147483648.0 && d <= 2147483647.0) || d != std::trunc(d))
        return false;
    return !(d == 0.0 && std::signbit(d));
}

bool ScriptValue::getBoolValue() const {
    return isBool() && std::get<bool>(m_v);
}

int32_t ScriptValue::getIntValue() const {
    return isInt() ? static_cast<int32_t>(std::get<double>(m_v)) : 0;
}

double ScriptValue::getDoubleValue() const {
    return isDouble() ? std::get<double>(m_v) : 0.0;
}

const std::string& ScriptValue::getStringValue() const {
    static const std::string kEmpty;
    return isString() ? std::get<std::string>(m_v) : kEmpty;
}

} // namespace vx
