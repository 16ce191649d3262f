#pragma once
// The host names that hostnamectl stores as the static name exactly as
// given. It quietly rewrites any other: "Web_01" becomes "Web01" and
// "web01.example.org." loses its last dot, so /etc/hostname would never
// match the wanted name and every run would set it again.

#include <optional>
#include <string>
#include <string_view>

namespace toln {

// Why hostnamectl would not store name unchanged (not empty; only ASCII
// letters, digits, "-" and "."; at most 64 characters; labels separated by
// single dots, none beginning or ending with "-"; no dot at either end), or
// nothing when it would. Upper case is kept as written.
std::optional<std::string> static_hostname_fault(std::string_view name);

}  // namespace toln
