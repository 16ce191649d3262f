#pragma once
// The steps of the download resource. Everything fetched is written by curl
// into the descriptor of a file the agent made, and read back, copied and
// verified through descriptors: no step opens a path that another user could
// have swapped for a link in the meantime.

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

#include "host/host_programs.hpp"
#include "host/temp_dirs.hpp"
#include "host/unique_fd.hpp"
#include "model/result.hpp"

namespace toln {

// The lowercase hexadecimal SHA-256 of an open file from its start, read in
// bounded pieces; "failed to read {path}: {}".
Result<std::string> sha256_hex_of(int fd, const std::string& path);

// Whether an existing dest may be what a transfer wrote, and so is worth
// hashing. No transfer leaves a file larger than 1 TiB, nor holes: a file
// of another user (the wanted owner, say) larger than 64 MiB with less than
// a sixteenth of its size on disk was not written by curl, and is fetched
// again unread rather than hashed at no cost to its owner. Root's own files
// are exempt from the second rule, since file systems that compress (ZFS,
// btrfs) keep runs of zeros as holes.
bool could_be_a_transfer(const struct stat& st);

// Without a checksum: success. Otherwise the file's digest must equal it
// byte for byte, else "checksum mismatch: expected {}, got {}".
Status verify_sha256(int fd, const std::string& path, const std::optional<std::string>& checksum);

// Runs a curl form with its standard output in fd; a failed transfer is
// "download failed: {}" with curl's standard error.
Status fetch_into(const HostCommand& curl, int fd);

// An archive fetched and verified in one private temporary directory and
// unpacked in another; both go with it, the extraction directory first.
struct UnpackedArchive {
  TempDirGuard download_dir;
  TempDirGuard extract_dir;
  UniqueFd member;  // the top-level regular file named like dest, open
  mode_t member_mode = 0;
};

// Fetches, verifies and unpacks the archive and opens the file to install:
// the top-level entry named file_name (dest's file name), which must be a
// regular file inside the extraction directory.
Result<UnpackedArchive> unpack_archive(const std::string& url, const std::string& file_name,
                                       const std::string& checksum);

// Copies the unpacked file into fd; "failed to copy extracted file to
// {dest}: {}" with the cause of the failed read or write.
Status copy_member(const UnpackedArchive& archive, int fd, const std::string& dest);

// The top-level entry of dir named wanted_name, else an error listing the
// names there.
Result<std::string> find_extracted_file(const std::string& dir, const std::string& wanted_name);

}  // namespace toln
