#include "http/MemoryStream.h"

#include <algorithm>
#include <cstring>

namespace vx {

std::size_t TMemoryStream::read(void* buffer, std::size_t count) {
    const auto size = static_cast<std::int64_t>(m_data.size());
    if (m_pos >= size || count == 0)
        return 0;
    const auto n = static_cast<std::size_t>(
        std::min<std::int64_t>(size - m_pos, static_cast<std::int64_t>(count)));
    std::memcpy(buffer, m_data.data() + m_pos, n);
    m_pos += static_cast<std::int64_t>(n);
    return n;
}

std::size_t TMemoryStream::write(const void* buffer, std::size_t count) {
    if (count == 0)
        return 0;
    const auto pos = static_cast<std::size_t>(m_pos);
    if (pos + count > m_data.size())
        m_data.resize(pos + count, '\0');
    std::memcpy(m_data.data() + pos, buffer, count);
    m_pos += static_cast<std::int64_t>(count);
    return count;
}

std::int64_t TMemoryStream::seek(std::int64_t offset, SeekOrigin origin) {
    std::int64_t base = 0;
    switch (origin) {
    case SeekOrigin::Begin:
        base = 0;
        break;
    case SeekOrigin::Current:
        base = m_pos;
        break;
    case SeekOrigin::End:
        base = size();
        break;
    }
    const std::int64_t target = base + offset;
    if (target < 0)
        return -1;
    m_pos = target;
    return m_pos;
}

void TMemoryStream::clear() {
    m_data.clear();
    m_pos = 0;
}

} // namespace vx
