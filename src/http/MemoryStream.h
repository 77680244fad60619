#pragma once
// Byte streams of the HTTP layer: an abstract readable, writable, seekable stream and the
// in-memory stream that request bodies and downloads are held in.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vx {

enum class SeekOrigin { Begin, Current, End };

// A readable, writable, seekable byte stream.
class Stream {
public:
    virtual ~Stream() = default;

    // Reads up to `count` bytes at the position and advances it; returns the bytes read
    // (0 at the end).
    virtual std::size_t read(void* buffer, std::size_t count) = 0;
    // Writes `count` bytes at the position and advances it; returns the bytes written.
    virtual std::size_t write(const void* buffer, std::size_t count) = 0;
    // Moves the position; returns the new position, or -1 (position unchanged) when the
    // target would lie before the start.
    virtual std::int64_t seek(std::int64_t offset, SeekOrigin origin) = 0;
    // Size in bytes.
    virtual std::int64_t size() const = 0;
    // Current position.
    virtual std::int64_t position() const = 0;
};

// A growable buffer with a position, like a plain memory stream: writing past the end
// grows the buffer, seeking past the end is allowed and a later write fills the gap with
// zero bytes.
class TMemoryStream : public Stream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string bytes) : m_data(std::move(bytes)) {}

    std::size_t read(void* buffer, std::size_t count) override;
    std::size_t write(const void* buffer, std::size_t count) override;
    std::int64_t seek(std::int64_t offset, SeekOrigin origin) override;
    std::int64_t size() const override { return static_cast<std::int64_t>(m_data.size()); }
    std::int64_t position() const override { return m_pos; }

    // Convenience: writes the bytes of a text at the position.
    void write(std::string_view bytes) { write(bytes.data(), bytes.size()); }
    // The whole content, independent of the position.
    const std::string& bytes() const { return m_data; }
    // Empties the stream and sets the position to 0.
    void clear();

private:
    std::string m_data;
    std::int64_t m_pos = 0;
};

} // namespace vx
