#pragma once
// A small value-or-error result for I/O and parsing in the core (C++20 has no std::expected).

#include <string>
#include <utility>
#include <variant>

namespace vx {

// The error side of a result: a message meant for a person.
struct Error {
    std::string message;
};

template <typename T>
class Expected {
public:
    Expected(T value) : m_v(std::in_place_index<0>, std::move(value)) {}
    Expected(Error error) : m_v(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_v.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T& value() const& { return std::get<0>(m_v); }
    T& value() & { return std::get<0>(m_v); }
    T&& value() && { return std::get<0>(std::move(m_v)); }
    const T& operator*() const& { return value(); }
    const T* operator->() const { return &value(); }
    const std::string& error() const { return std::get<1>(m_v).message; }
    T valueOr(T fallback) const { return ok() ? value() : std::move(fallback); }

private:
    std::variant<T, Error> m_v;
};

// Result of an operation that yields nothing but may fail.
class Status {
public:
    Status() = default;
    Status(Error error) : m_ok(false), m_error(std::move(error.message)) {}
    static Status success() { return {}; }
    bool ok() const { return m_ok; }
    explicit operator bool() const { return m_ok; }
    const std::string& error() const { return m_error; }

private:
    bool m_ok = true;
    std::string m_error;
};

} // namespace vx
