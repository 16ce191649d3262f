#pragma once
// SHA-256 over data given in pieces, written as the digest text
// "sha256:" and 64 lowercase hexadecimal digits.

#include <openssl/evp.h>

#include <memory>
#include <string>
#include <string_view>

namespace toln {

class Sha256 {
 public:
  Sha256();
  void update(std::string_view data);
  // The digest text of everything given; the object is spent.
  std::string finish();

 private:
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context_;
};

// "sha256:" and 64 lowercase hexadecimal digits.
std::string content_digest(std::string_view data);

}  // namespace toln
