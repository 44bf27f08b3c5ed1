// The tree of values read from a UCL configuration text, behind the read-only wrapper `ucl::Ucl`.
// Trees are immutable once built and shared between wrappers, so wrappers are cheap to copy.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ucl {

// The kind of value a wrapper holds; an empty wrapper reports `null`.
enum class Type { null, boolean, integer, floating, time, string, array, object };

// One value of a UCL tree, or nothing at all (the empty wrapper of a missing key).
class Ucl {
  public:
    using Member = std::pair<std::string, Ucl>; // one key of an object with its value

    Ucl() = default;

    // Parses a whole text; on failure returns an empty wrapper and sets `error` (empty on success).
    static Ucl parse(std::string_view text, std::string& error);

    static Ucl null();
    static Ucl boolean(bool value);
    static Ucl integer(std::int64_t value);
    static Ucl floating(double value);
    static Ucl time(double seconds);
    static Ucl string(std::string value);
    static Ucl array(std::vector<Ucl> items);
    static Ucl object(std::vector<Member> members); // duplicate keys kept, in order

    // True when the wrapper holds a value (a null value included).
    explicit operator bool() const { return node_ != nullptr; }

    Type type() const;

    // The first value of `key` in an object, an empty wrapper when the object lacks it, and a
    // wrapper holding null on anything that is not an object, so lookups chain without checks.
    Ucl lookup(std::string_view key) const;

    // The text of a string value up to its first NUL; `default_value` for every other value.
    std::string string_value(const std::string& default_value = "") const;

    // An integer as it is, a float or time value truncated toward zero; nothing for other types
    // and for floats that no 64-bit integer can hold.
    std::optional<std::int64_t> toint_safe() const;

    // Any number as a double (a time value in seconds); `default_value` for other values.
    double number_value(double default_value = 0) const;

    // The flag of a boolean value; `default_value` for other values.
    bool bool_value(bool default_value = false) const;

    // The elements of an array; empty for every other value.
    const std::vector<Ucl>& items() const;

    // The members of an object in the order written, later duplicates included; empty otherwise.
    const std::vector<Member>& members() const;

  private:
    struct Node;
    explicit Ucl(std::shared_ptr<const Node> node) : node_(std::move(node)) {}

    std::shared_ptr<const Node> node_;
};

} // namespace ucl
