#pragma once
// Owners as "chown" and "ls -l" write them, turned into ids by the agent so
// that a change of owner is made on a descriptor, never on a path again.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "model/result.hpp"

namespace toln {

// The id that fchown reads as "leave it as it is", which no user or group
// can have.
inline constexpr std::uint32_t kUnchangedId = 4294967295;

// A user or group id written as a decimal number (one leading "+" allowed),
// below kUnchangedId.
std::optional<std::uint32_t> numeric_id(std::string_view text);

// What "chown SPEC" would set; an absent id stays as it is.
struct OwnerIds {
  std::optional<uid_t> uid;
  std::optional<gid_t> gid;
};

// The forms chown accepts: "user", "user:group", "user:" (the user's login
// group), ":group", the older "user.group"; a name is looked up first, then
// read as a decimal id ("+N" is always an id). Errors: "invalid user: '{}'",
// "invalid group: '{}'"; a name holding a NUL byte is invalid, shown as
// quoted_text has it: invalid user: "a\0b". A user database that cannot be
// read (a directory service that does not answer) is no unknown name:
// "failed to look up user '{}': {OS error}" (or group), errno kept.
Result<OwnerIds> parse_owner_spec(std::string_view spec);

// A user's or group's name as "ls -l" shows it: the name, else (unknown, or
// not to be looked up) the number.
std::string user_name(uid_t uid);
std::string group_name(gid_t gid);

// Changes the owner of one entry looked at through object_fd (O_PATH, not
// following a link; st its metadata): a symbolic link's own owner, never
// what it leads to. A link of a user other than root keeps its owner, so no
// change makes a user's link one that root follows anywhere. 0 or the errno,
// which a walk collects.
[[nodiscard]] int change_entry_owner(int object_fd, const struct stat& st, const OwnerIds& ids);

// Changes the owner of the open file, and with recurse of everything below
// an open directory, on descriptors and without following any symbolic
// link. The first failure: "chown failed: {OS error}".
Status set_owner(int fd, const OwnerIds& ids, bool recurse);

}  // namespace toln
