#pragma once
// The steps of the download resource. A new file is always fetched or copied
// into the temporary name that atomic_write uses beside dest, verified, and
// only then renamed over dest: dest is never left partial, and the
// temporary file is removed on every failure.

#include <optional>
#include <string>
#include <vector>

#include "host/file_services.hpp"
#include "model/result.hpp"

namespace toln {

// Without a checksum: success. Otherwise the first field of "sha256sum
// file" must equal it byte for byte; if not, the file is removed and the
// error is "checksum mismatch: expected {}, got {}".
Status verify_sha256(const std::string& file, const std::optional<std::string>& checksum);

// The first field of "sha256sum file" ("" when there is none).
Result<std::string> sha256_field(const std::string& file);

// Fetches url, verifies it and puts it at dest; appends "downloaded -> {}".
Status download_file(const std::string& url, const std::string& dest, const std::optional<std::string>& checksum,
                     std::vector<std::string>& messages);

// An archive fetched and verified in one private temporary directory and
// unpacked in another; both go with it, the extraction directory first.
struct UnpackedArchive {
  TempDirGuard download_dir;
  TempDirGuard extract_dir;
  std::string member;  // the resolved top-level file named like dest
};

// Fetches, verifies and unpacks the archive and finds the file to install,
// which must be a regular file inside the extraction directory.
Result<UnpackedArchive> unpack_archive(const std::string& url, const std::string& dest, const std::string& checksum);

// Copies the unpacked file to dest (through the temporary name); appends
// "downloaded and extracted -> {}".
Status install_member(const UnpackedArchive& archive, const std::string& dest, std::vector<std::string>& messages);

// The top-level entry of dir named wanted_name, else an error listing the
// names there.
Result<std::string> find_extracted_file(const std::string& dir, const std::string& wanted_name);

}  // namespace toln
