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

#include "host/file_errors.hpp"
#include "host/tree_walk.hpp"
#include "text/nul_byte.hpp"
#include "text/quoted.hpp"

namespace toln {
namespace {

static_assert(sizeof(uid_t) == sizeof(std::uint32_t) && sizeof(gid_t) == sizeof(std::uint32_t));

// getpwnam_r and friends say "not found" by a null result, or on some
// systems by one of these; anything else is a user database that could not
// be read (a directory service that does not answer).
bool means_not_found(int error) {
  return error == 0 || error == ENOENT || error == ESRCH || error == EBADF || error == EPERM;
}

// getpwnam_r and friends need a buffer of a size only known by trying; the
// record's texts live in it, so the wanted field is taken out at once.
// Nothing when there is no such record; the OS error when the database
// could not be read.
template <class Record, class Key, class Lookup, class Field>
auto look_up(Key key, Lookup lookup, Field field) -> Result<std::optional<decltype(field(std::declval<Record&>()))>> {
  using Value = decltype(field(std::declval<Record&>()));
  std::vector<char> buffer(1024);
  for (;;) {
    Record record{};
    Record* found = nullptr;
    const int error = lookup(key, &record, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 4);
      continue;
    }
    if (error == 0 && found) return std::optional<Value>(field(record));
    if (means_not_found(error)) return std::optional<Value>();
    return AgentError::io(error);
  }
}

// A name as the errors show it: between single quotes, or quoted with
// escapes where it holds a NUL byte, which no user or group name can hold.
std::string shown_name(const std::string& name) { return has_nul_byte(name) ? quoted_text(name) : "'" + name + "'"; }

// A name that could not be looked up: "failed to look up {user|group} {name}: {OS error}".
AgentError lookup_failed(std::string_view what, const std::string& name, const AgentError& cause) {
  return AgentError::os("failed to look up " + std::string(what) + " " + shown_name(name), cause.os_errno());
}

struct UserIds {
  uid_t uid;
  gid_t login_group;
};

// A user's ids by name; nothing for a name that names no one (one holding a
// NUL byte would be looked up cut short at it).
Result<std::optional<UserIds>> user_by_name(const std::string& name) {
  if (has_nul_byte(name)) return std::optional<UserIds>();
  auto user = look_up<passwd>(name.c_str(), ::getpwnam_r, [](const passwd& p) { return UserIds{p.pw_uid, p.pw_gid}; });
  if (!user) return lookup_failed("user", name, user.error());
  return user;
}

// A group's id by name, else as a decimal id ("+N" is always an id).
Result<std::optional<gid_t>> group_id(const std::string& name) {
  if (!name.starts_with('+') && !has_nul_byte(name)) {
    auto id = look_up<group>(name.c_str(), ::getgrnam_r, [](const group& g) { return g.gr_gid; });
    if (!id) return lookup_failed("group", name, id.error());
    if (*id) return id;
  }
  return numeric_id(name);
}

}  // namespace

std::optional<std::uint32_t> numeric_id(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value == kUnchangedId) {
    return std::nullopt;
  }
  return value;
}

Result<OwnerIds> parse_owner_spec(std::string_view spec) {
  std::size_t separator = spec.find(':');
  // The older "user.group" form, where no user has the whole name.
  if (separator == std::string_view::npos && spec.find('.') != std::string_view::npos) {
    auto whole = user_by_name(std::string(spec));
    if (!whole) return std::move(whole).error();
    if (!*whole) separator = spec.find('.');
  }
  const std::string user(spec.substr(0, separator));
  const std::string group = separator == std::string_view::npos ? "" : std::string(spec.substr(separator + 1));
  OwnerIds ids;
  if (!user.empty()) {
    // A name is looked up first, then read as an id ("+N" is always an id).
    auto record = user.starts_with('+') ? std::optional<UserIds>() : user_by_name(user);
    if (!record) return std::move(record).error();
    if (*record) {
      ids.uid = (*record)->uid;
      if (separator != std::string_view::npos && group.empty()) ids.gid = (*record)->login_group;
    } else {
      ids.uid = numeric_id(user);
      if (!ids.uid) return AgentError::resource("invalid user: " + shown_name(user));
    }
  }
  if (!group.empty()) {
    auto id = group_id(group);
    if (!id) return std::move(id).error();
    ids.gid = *id;
    if (!ids.gid) return AgentError::resource("invalid group: " + shown_name(group));
  }
  return ids;
}

std::string user_name(uid_t uid) {
  auto name = look_up<passwd>(uid, ::getpwuid_r, [](const passwd& p) { return std::string(p.pw_name); });
  return name && *name ? std::move(**name) : std::to_string(uid);
}

std::string group_name(gid_t gid) {
  auto name = look_up<group>(gid, ::getgrgid_r, [](const group& g) { return std::string(g.gr_name); });
  return name && *name ? std::move(**name) : std::to_string(gid);
}

int change_entry_owner(int object_fd, const struct stat& st, const OwnerIds& ids) {
  // A link of a user other than root keeps its owner: made root's, or the
  // owner's of what it leads to, it would be trusted and followed there.
  const uid_t uid = S_ISLNK(st.st_mode) && st.st_uid != 0 ? kUnchangedId : ids.uid.value_or(kUnchangedId);
  const gid_t gid = ids.gid.value_or(kUnchangedId);
  return ::fchownat(object_fd, "", uid, gid, AT_EMPTY_PATH) == 0 ? 0 : errno;
}

Status set_owner(int fd, const OwnerIds& ids, bool recurse) {
  if (::fchown(fd, ids.uid.value_or(kUnchangedId), ids.gid.value_or(kUnchangedId)) != 0) {
    return chown_failed_error(errno);
  }
  struct stat st {};
  if (!recurse) return {};
  if (::fstat(fd, &st) != 0) return chown_failed_error(errno);
  if (!S_ISDIR(st.st_mode)) return {};
  if (auto below = change_owner_below(fd, ids, ""); !below) return chown_failed_error(below.error().os_errno());
  return {};
}

}  // namespace toln
