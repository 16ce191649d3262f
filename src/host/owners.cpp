#include "host/owners.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <utility>
#include <vector>

#include "host/tree_walk.hpp"
#include "text/quoted.hpp"

namespace toln {
namespace {

// A decimal id below the "unchanged" value -1; one leading "+" allowed.
template <class Id>
std::optional<Id> numeric_id(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  unsigned long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value >= static_cast<Id>(-1)) {
    return std::nullopt;
  }
  return static_cast<Id>(value);
}

// getpwnam_r and friends need a buffer of a size only known by trying; the
// record's texts live in it, so the wanted field is taken out at once.
template <class Record, class Key, class Lookup, class Field>
auto look_up(Key key, Lookup lookup, Field field) -> std::optional<decltype(field(std::declval<Record&>()))> {
  std::vector<char> buffer(1024);
  for (;;) {
    Record record{};
    Record* found = nullptr;
    const int error = lookup(key, &record, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 4);
      continue;
    }
    if (error != 0 || !found) return std::nullopt;
    return field(record);
  }
}

// A name holding a NUL byte would be looked up cut short at it: it names no
// one.
bool has_nul(const std::string& name) { return name.find('\0') != std::string::npos; }

// A user's ids by name: uid and login group.
std::optional<std::pair<uid_t, gid_t>> user_by_name(const std::string& name) {
  if (has_nul(name)) return std::nullopt;
  return look_up<passwd>(name.c_str(), ::getpwnam_r, [](const passwd& p) { return std::pair{p.pw_uid, p.pw_gid}; });
}

std::optional<uid_t> user_id(const std::string& name) {
  if (!name.starts_with('+')) {
    if (const auto user = user_by_name(name)) return user->first;
  }
  return numeric_id<uid_t>(name);
}

std::optional<gid_t> group_id(const std::string& name) {
  if (!name.starts_with('+') && !has_nul(name)) {
    if (const auto id = look_up<group>(name.c_str(), ::getgrnam_r, [](const group& g) { return g.gr_gid; })) return id;
  }
  return numeric_id<gid_t>(name);
}

// A name as the errors show it: between single quotes, or quoted with
// escapes where it holds a NUL byte, which no user or group name can hold.
std::string shown_name(const std::string& name) { return has_nul(name) ? quoted_text(name) : "'" + name + "'"; }

}  // namespace

Result<OwnerIds> parse_owner_spec(std::string_view spec) {
  std::size_t separator = spec.find(':');
  // The older "user.group" form, where no user has the whole name.
  if (separator == std::string_view::npos && spec.find('.') != std::string_view::npos &&
      !user_by_name(std::string(spec))) {
    separator = spec.find('.');
  }
  const std::string user(spec.substr(0, separator));
  const std::string group = separator == std::string_view::npos ? "" : std::string(spec.substr(separator + 1));
  OwnerIds ids;
  if (!user.empty()) {
    ids.uid = user_id(user);
    if (!ids.uid) return AgentError::resource("invalid user: " + shown_name(user));
    if (separator != std::string_view::npos && group.empty()) {
      if (const auto record = user_by_name(user); record && !user.starts_with('+')) ids.gid = record->second;
    }
  }
  if (!group.empty()) {
    ids.gid = group_id(group);
    if (!ids.gid) return AgentError::resource("invalid group: " + shown_name(group));
  }
  return ids;
}

std::string user_name(uid_t uid) {
  if (auto name = look_up<passwd>(uid, ::getpwuid_r, [](const passwd& p) { return std::string(p.pw_name); })) {
    return std::move(*name);
  }
  return std::to_string(uid);
}

std::string group_name(gid_t gid) {
  if (auto name = look_up<group>(gid, ::getgrgid_r, [](const group& g) { return std::string(g.gr_name); })) {
    return std::move(*name);
  }
  return std::to_string(gid);
}

int change_entry_owner(int object_fd, const struct stat& st, const OwnerIds& ids) {
  // A link of a user other than root keeps its owner: made root's, or the
  // owner's of what it leads to, it would be trusted and followed there.
  const uid_t uid = S_ISLNK(st.st_mode) && st.st_uid != 0 ? static_cast<uid_t>(-1)
                                                          : ids.uid.value_or(static_cast<uid_t>(-1));
  const gid_t gid = ids.gid.value_or(static_cast<gid_t>(-1));
  return ::fchownat(object_fd, "", uid, gid, AT_EMPTY_PATH) == 0 ? 0 : errno;
}

int change_owner(int fd, const OwnerIds& ids, bool recurse) {
  if (::fchown(fd, ids.uid.value_or(static_cast<uid_t>(-1)), ids.gid.value_or(static_cast<gid_t>(-1))) != 0) {
    return errno;
  }
  struct stat st {};
  if (!recurse || ::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
  auto below = change_owner_below(fd, ids, "");
  return below ? 0 : below.error().os_errno();
}

}  // namespace toln
