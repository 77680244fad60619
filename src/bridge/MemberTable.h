#pragma once
// The description of a class through which the script bridge exposes an object to the page:
// its methods (with parameter and result kinds and an invoker), fields and properties (with
// value kinds and readers). The bridge knows nothing of the class itself; a class that wants
// to be exposed provides one table, usually built with MemberTableOf<T>.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

namespace vx {

// Kinds of parameters, results, fields and properties.
enum class ValueKind {
    Integer,     // 32-bit or 64-bit signed integer
    Enumeration, // an enumeration, by ordinal
    Boolean,     // the enumeration false/true (ordinals 0 and 1); treated as Enumeration
    Set,         // a set of flags, as the number the flags form
    Float,       // floating point
    Character,   // one character, held as UTF-8 text
    Text,        // text (UTF-8)
    Object,      // a reference to an object
    Other,       // records, arrays, interfaces, method references, variants
};

// A native value. As an argument an invoker receives the alternative that matches its
// parameter's kind: Integer, Enumeration and Set -> int64_t, Boolean -> bool, Float -> double,
// Character and Text -> std::string (Object and Other parameters are never invoked).
// A method returns the alternative of its result kind, or monostate when it has none; a
// field reader likewise.
using NativeValue = std::variant<std::monostate, bool, int64_t, double, std::string>;

// The converted arguments of one call, with typed access. An accessor used against the
// parameter's kind throws std::logic_error (a fault in the member table).
class NativeArgs {
public:
    explicit NativeArgs(std::span<const NativeValue> values) : m_values(values) {}
    std::size_t size() const { return m_values.size(); }
    bool boolean(std::size_t i) const { return get<bool>(i); }
    int64_t integer(std::size_t i) const { return get<int64_t>(i); }
    int32_t int32(std::size_t i) const { return static_cast<int32_t>(get<int64_t>(i)); }
    double real(std::size_t i) const { return get<double>(i); }
    const std::string& text(std::size_t i) const { return get<std::string>(i); }

private:
    template <typename T> const T& get(std::size_t i) const;
    std::span<const NativeValue> m_values;
};

struct MethodInfo {
    using Invoker = std::function<NativeValue(void* object, const NativeArgs& args)>;
    std::string name;
    std::vector<ValueKind> params;
    std::optional<ValueKind> result; // nullopt: the method returns nothing
    Invoker invoke;

    std::size_t paramCount() const { return params.size(); }
};

// A field, or a property (read through its getter).
struct FieldInfo {
    using Reader = std::function<NativeValue(const void* object)>;
    std::string name;
    ValueKind kind;
    Reader read;
};

struct MemberTable {
    std::string className;
    const std::type_info* type = nullptr; // the described class; checked when an object is bound
    std::vector<MethodInfo> methods;      // in declaration order
    std::vector<FieldInfo> fields;        // in declaration order
    std::vector<FieldInfo> properties;    // in declaration order
};

// Builds the table of class T with typed invokers and readers:
//   MemberTableOf<Foo>("Foo")
//       .method("Add", {ValueKind::Integer, ValueKind::Integer}, ValueKind::Integer,
//               [](Foo& f, const NativeArgs& a) -> NativeValue { return f.Add(a.int32(0),
//                                                                              a.int32(1)); })
//       .field("name", ValueKind::Text, [](const Foo& f) -> NativeValue { return f.name; })
//       .build();
template <typename T> class MemberTableOf {
public:
    explicit MemberTableOf(std::string className) {
        m_table.className = std::move(className);
        m_table.type = &typeid(T);
    }

    MemberTableOf& method(std::string name, std::vector<ValueKind> params,
                          std::optional<ValueKind> result,
                          std::function<NativeValue(T&, const NativeArgs&)> call) {
        m_table.methods.push_back({std::move(name), std::move(params), result,
                                   [call = std::move(call)](void* object, const NativeArgs& args) {
                                       return call(*static_cast<T*>(object), args);
                                   }});
        return *this;
    }
    MemberTableOf& field(std::string name, ValueKind kind,
                         std::function<NativeValue(const T&)> read) {
        m_table.fields.push_back({std::move(name), kind, wrap(std::move(read))});
        return *this;
    }
    MemberTableOf& property(std::string name, ValueKind kind,
                            std::function<NativeValue(const T&)> get) {
        m_table.properties.push_back({std::move(name), kind, wrap(std::move(get))});
        return *this;
    }
    MemberTable build() { return std::move(m_table); }

private:
    static FieldInfo::Reader wrap(std::function<NativeValue(const T&)> read) {
        return [read = std::move(read)](const void* object) {
            return read(*static_cast<const T*>(object));
        };
    }
    MemberTable m_table;
};

template <typename T> const T& NativeArgs::get(std::size_t i) const {
    if (i >= m_values.size() || !std::holds_alternative<T>(m_values[i]))
        throw std::logic_error("argument " + std::to_string(i + 1) +
                               " does not match its parameter's kind");
    return std::get<T>(m_values[i]);
}

} // namespace vx
