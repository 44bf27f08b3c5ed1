// The members of an object while it is read, each value marked with the priority of the text that
// wrote it and whether .inherit copied it, and the rules that decide what a key written twice
// does. The rules know no text: a conflict they refuse is thrown for the reader to place.
#pragma once

#include "ucl/macro_options.hpp"
#include "ucl/ucl.hpp"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace ucl {

// The marks on a value: the priority (0 to 15) of the text that wrote its key, and whether
// .inherit copied it; `stamp` copies the node only when a mark changes.
struct member_stamp {
    static Ucl stamp(const Ucl& value, int priority, bool inherited);
    static int priority(const Ucl& value); // 0 for values never stamped
    static bool inherited(const Ucl& value);
};

inline Ucl stamp(const Ucl& value, int priority, bool inherited) {
    return member_stamp::stamp(value, priority, inherited);
}
inline int priority_of(const Ucl& value) {
    return member_stamp::priority(value);
}
inline bool was_inherited(const Ucl& value) {
    return member_stamp::inherited(value);
}

// The members of an object while it is read, with the place of each key's first member, so that
// a key is found without a walk through the list.
class member_list {
  public:
    member_list() = default;
    explicit member_list(const std::vector<Ucl::Member>& members);

    // The first member of `key`, or null; valid until the list changes.
    Ucl::Member* find(const std::string& key);
    // True when one of the first `count` members has `key`.
    bool held_among_first(const std::string& key, std::size_t count) const;
    std::size_t size() const { return members_.size(); }

    void append(std::string key, Ucl value);
    // Puts `value` in the place of `first` and drops the later members of its key.
    void replace(Ucl::Member* first, Ucl value);
    // The object of the members, which leave the list.
    Ucl take_object();

  private:
    std::vector<Ucl::Member> members_;
    std::unordered_map<std::string, std::size_t> first_; // key → index of its first member
};

// A second value of a key that the rules refuse (duplicate="error", or an object merged with an
// array); its message has no place.
class member_conflict : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Adds `value` at `key`: a key the object lacks is added; for one it holds, the strategy "error"
// refuses the value, "rewrite" replaces the old values, "merge" merges containers; otherwise a
// higher priority replaces, a lower one is ignored and an equal one is appended behind the first
// value (and a value copied by .inherit gives way to the first one written in the object itself).
void add_member(member_list& members, std::string key, Ucl value, duplicate_strategy strategy);

} // namespace ucl
