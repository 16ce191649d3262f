// The UTF-8 check behind read_bounded, against the lossy decoder and the
// character-boundary cut.
#include <string>
#include <string_view>

#include "check.hpp"
#include "text/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto fault = toln::find_utf8_fault(bytes);
  const std::string lossy = toln::lossy_utf8(bytes);
  TOLN_FUZZ_CHECK(toln::is_valid_utf8(lossy));
  if (!fault) {
    TOLN_FUZZ_CHECK(lossy == bytes);
    for (std::size_t cut : {std::size_t{0}, size / 2, size}) {
      const std::size_t at = toln::floor_char_boundary(bytes, cut);
      TOLN_FUZZ_CHECK(at <= cut && toln::is_valid_utf8(bytes.substr(0, at)));
    }
    return 0;
  }
  TOLN_FUZZ_CHECK(fault->valid_up_to < size);
  TOLN_FUZZ_CHECK(toln::is_valid_utf8(bytes.substr(0, fault->valid_up_to)));
  if (fault->error_len) {
    TOLN_FUZZ_CHECK(*fault->error_len >= 1 && *fault->error_len <= 3);
    TOLN_FUZZ_CHECK(fault->valid_up_to + *fault->error_len <= size);
  } else {
    // Only a character cut short by the end of the input.
    TOLN_FUZZ_CHECK(size - fault->valid_up_to <= 3);
  }
  TOLN_FUZZ_CHECK(lossy.starts_with(bytes.substr(0, fault->valid_up_to)));
  return 0;
}
