// The members of an object while it is read, each with the marks that the rules for a key written
// twice need: the priority of the text that wrote it and whether .inherit copied it. The marks
// stay beside the values, which are plain; the rules know no text: a conflict they refuse is
// thrown for the reader to place.
#pragma once

#include "ucl/macro_options.hpp"
#include "ucl/ucl.hpp"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace ucl {

// The marks of one member, and of the members of its value when that is an object (in their
// order; missing ones read as priority 0, not inherited), so that an object read again (merged,
// included into, inherited) keeps its members' marks.
struct member_marks {
    int priority = 0; // of the text that wrote the key, 0 to 15
    bool inherited = false;
    std::vector<member_marks> nested;
};

// A value with the marks it goes into an object with.
struct marked_value {
    Ucl value;
    member_marks marks;
};

// One member of an object while it is read.
struct member_entry {
    std::string key;
    Ucl value;
    member_marks marks;
};

// The members of an object while it is read, with the place of each key's first member, so that
// a key is found without a walk through the list.
class member_list {
  public:
    member_list() = default;
    // The members of `object` again, with the marks they were read with.
    member_list(const Ucl& object, const std::vector<member_marks>& marks);

    // The first member of `key`, or null; valid until the list changes.
    member_entry* find(const std::string& key);
    // True when one of the first `count` members has `key`.
    bool held_among_first(const std::string& key, std::size_t count) const;
    std::size_t size() const { return members_.size(); }

    void append(std::string key, marked_value value);
    // Puts `value` in the place of `first` and drops the later members of its key.
    void replace(member_entry* first, marked_value value);
    // The object of the members, which leave the list, with their marks (priority 0 itself).
    marked_value take_object();

  private:
    std::vector<member_entry> members_;
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
void add_member(member_list& members, std::string key, marked_value value,
                duplicate_strategy strategy);

} // namespace ucl
