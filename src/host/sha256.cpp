#include "host/sha256.hpp"

#include "host/console.hpp"

namespace toln {
namespace {

// libcrypto fails a digest only when it is broken or out of memory: no
// digest text can be trusted then.
void require(int outcome) {
  if (outcome != 1) internal_failure("sha256 digest failed in libcrypto");
}

}  // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
  if (!context_) internal_failure("sha256 digest failed in libcrypto");
  require(EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr));
}

void Sha256::update(std::string_view data) { require(EVP_DigestUpdate(context_.get(), data.data(), data.size())); }

std::string Sha256::finish() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  require(EVP_DigestFinal_ex(context_.get(), digest, &length));
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text = "sha256:";
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0xF]);
  }
  return text;
}

std::string content_digest(std::string_view data) {
  Sha256 digest;
  digest.update(data);
  return digest.finish();
}

}  // namespace toln
