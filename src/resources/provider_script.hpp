#pragma once
// The private file a provider's script is written to for its interpreter.

#include <string>
#include <string_view>
#include <utility>

#include "host/temp_dirs.hpp"
#include "model/result.hpp"

namespace toln {

// Owns the script and the private directory that holds it; removes both when
// it goes out of scope, ignoring errors.
class ProviderScript {
 public:
  ProviderScript(TempDirGuard dir, std::string path) : dir_(std::move(dir)), path_(std::move(path)) {}
  ProviderScript(ProviderScript&&) noexcept = default;
  ProviderScript& operator=(ProviderScript&&) = delete;
  ProviderScript(const ProviderScript&) = delete;
  ProviderScript& operator=(const ProviderScript&) = delete;

  const std::string& path() const { return path_; }

 private:
  TempDirGuard dir_;
  std::string path_;
};

// A new file "toln-provider-{pid}-{n}", mode 0600, holding exactly source,
// inside a new private directory "toln-provider-XXXXXX" (make_temp_dir), so
// that no other user can take the script's name, read it or put another
// script in its place. n is the next value of one counter per process.
// Errors: make_temp_dir's refusal, "failed to create provider script: {}",
// "failed to write provider script: {}" (the directory then removed).
Result<ProviderScript> write_provider_script(std::string_view source);

}  // namespace toln
