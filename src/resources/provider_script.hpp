#pragma once
// The private file a provider's script is written to for its interpreter.

#include <string>
#include <string_view>

#include "model/result.hpp"

namespace toln {

// Owns the file; removes it when it goes out of scope, ignoring errors.
class ProviderScript {
 public:
  explicit ProviderScript(std::string path) : path_(std::move(path)) {}
  ProviderScript(ProviderScript&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  ProviderScript& operator=(ProviderScript&&) = delete;
  ProviderScript(const ProviderScript&) = delete;
  ProviderScript& operator=(const ProviderScript&) = delete;
  ~ProviderScript();

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A new file "toln-provider-{pid}-{n}" in TMPDIR (else "/tmp"), created
// exclusively with mode 0600 and holding exactly source. n is the next value
// of one counter per process, taken at every attempt; a name that exists
// already is skipped, at most 64 times. Errors: "failed to create provider
// script: {}", "failed to create a unique provider script temp file",
// "failed to write provider script: {}" (the file then removed).
Result<ProviderScript> write_provider_script(std::string_view source);

}  // namespace toln
