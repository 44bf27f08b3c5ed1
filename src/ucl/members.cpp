// The members of an object while it is read, and the rules for a key written twice: priorities,
// the duplicate strategies and the members that .inherit copied.
#include "ucl/members.hpp"

#include <algorithm>

namespace ucl {

Ucl member_stamp::stamp(const Ucl& value, int priority, bool inherited) {
    return value.stamped(priority, inherited);
}

int member_stamp::priority(const Ucl& value) {
    return value.priority();
}

bool member_stamp::inherited(const Ucl& value) {
    return value.inherited();
}

member_list::member_list(const std::vector<Ucl::Member>& members) {
    for (const auto& [key, value] : members)
        append(key, value);
}

Ucl::Member* member_list::find(const std::string& key) {
    const auto found = first_.find(key);
    return found == first_.end() ? nullptr : &members_[found->second];
}

bool member_list::held_among_first(const std::string& key, std::size_t count) const {
    const auto found = first_.find(key);
    return found != first_.end() && found->second < count;
}

void member_list::append(std::string key, Ucl value) {
    first_.try_emplace(key, members_.size());
    members_.emplace_back(std::move(key), std::move(value));
}

void member_list::replace(Ucl::Member* first, Ucl value) {
    first->second = std::move(value);
    const std::string key = first->first;
    const std::size_t place = static_cast<std::size_t>(first - members_.data());
    const auto later =
        std::remove_if(members_.begin() + static_cast<long>(place) + 1, members_.end(),
                       [&](const Ucl::Member& member) { return member.first == key; });
    if (later == members_.end()) return;
    members_.erase(later, members_.end());
    first_.clear();
    for (std::size_t i = 0; i < members_.size(); ++i)
        first_.try_emplace(members_[i].first, i);
}

Ucl member_list::take_object() {
    first_.clear();
    return Ucl::object(std::move(members_));
}

namespace {

bool merge_member(Ucl::Member* old, const Ucl& value, duplicate_strategy strategy);

} // namespace

// A key the object lacks is added. For one it holds: the strategy "error" refuses the value,
// "rewrite" replaces the old values, "merge" merges containers; otherwise a higher priority
// replaces, a lower one is ignored and an equal one is appended behind the first value (and a
// value copied by .inherit gives way to the first one written in the object itself).
void add_member(member_list& members, std::string key, Ucl value, duplicate_strategy strategy) {
    Ucl::Member* old = members.find(key);
    if (old == nullptr) {
        members.append(std::move(key), std::move(value));
        return;
    }
    switch (strategy) {
    case duplicate_strategy::error:
        throw member_conflict("duplicate key '" + key +
                              "': expected a key written once, as duplicate=\"error\" asks");
    case duplicate_strategy::rewrite:
        return members.replace(old, std::move(value));
    case duplicate_strategy::merge:
        if (merge_member(old, value, strategy)) return;
        break;
    case duplicate_strategy::append:
        break;
    }
    const int old_priority = priority_of(old->second);
    int new_priority = priority_of(value);
    if (strategy == duplicate_strategy::append && was_inherited(old->second))
        new_priority = old_priority + 1;
    if (new_priority < old_priority) return;
    if (new_priority > old_priority) return members.replace(old, std::move(value));
    members.append(std::move(key), std::move(value));
}

namespace {

// The merge strategy where the old value is a container: objects are merged key by key, arrays
// joined, and any other new value takes the container's place; false for an old plain value.
bool merge_member(Ucl::Member* old, const Ucl& value, duplicate_strategy strategy) {
    const Ucl& previous = old->second;
    const Type old_type = previous.type();
    const Type new_type = value.type();
    if (old_type != Type::object && old_type != Type::array) return false;
    if ((old_type == Type::object && new_type == Type::array) ||
        (old_type == Type::array && new_type == Type::object)) {
        throw member_conflict("cannot merge an object with an array: expected two objects or two "
                              "arrays for the key '" +
                              old->first + "'");
    }
    if (new_type == Type::array) {
        std::vector<Ucl> items = previous.items();
        items.insert(items.end(), value.items().begin(), value.items().end());
        old->second =
            stamp(Ucl::array(std::move(items)), priority_of(previous), was_inherited(previous));
    } else if (new_type == Type::object) {
        member_list merged(previous.members());
        for (const auto& [key, member] : value.members())
            add_member(merged, key, member, strategy);
        old->second = stamp(merged.take_object(), priority_of(previous), was_inherited(previous));
    } else {
        old->second = value;
    }
    return true;
}

} // namespace

} // namespace ucl
