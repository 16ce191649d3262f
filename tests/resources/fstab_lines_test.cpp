#include "resources/fstab_lines.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

constexpr const char* kWanted = "/dev/sdb1\t/data\text4\tdefaults\t0\t2";

TEST(FstabLines, FindsTheFirstEntryOfThePath) {
  struct Case {
    std::string text;
    std::optional<std::string> line;
  } cases[] = {
      {"", std::nullopt},
      {"/dev/sdb1 /data ext4 defaults 0 2", "/dev/sdb1 /data ext4 defaults 0 2"},
      {"  /dev/sdb1   /data\text4  \r\n", "  /dev/sdb1   /data\text4  "},
      {"#/dev/sdb1 /data ext4 defaults 0 2\n", std::nullopt},
      {"   # /dev/sdb1 /data ext4\n", std::nullopt},
      {"/dev/sdb1 /data2 ext4\n/dev/sdb2 /dat ext4\n", std::nullopt},
      {"/data\n", std::nullopt},  // one field: no mount point
      {"a /data x\nb /data y\n", "a /data x"},
      {"a\u00a0/data x\n", "a\u00a0/data x"},  // fields split at Unicode white space
      {"UUID=1 /data/ ext4\n", std::nullopt},  // compared exactly
  };
  for (const auto& c : cases) EXPECT_EQ(fstab_find_line(c.text, "/data"), c.line) << c.text;
}

TEST(FstabLines, HoldsTheEntryWhenTheFirstHasTheSameFields) {
  struct Case {
    std::string text;
    bool holds;
  } cases[] = {
      {"", false},
      {std::string(kWanted) + "\n", true},
      {"/dev/sdb1 /data ext4 defaults 0 2\n", true},
      {"  /dev/sdb1   /data\t ext4 defaults 0 2  \r\n", true},
      {"/dev/sdb1 /data ext4 noatime 0 2\n", false},
      {"/dev/sdb1 /data ext4 defaults 0\n", false},
      {"/dev/sdb1 /data ext4 defaults 0 2 extra\n", false},
      {"#/dev/sdb1 /data ext4 defaults 0 2\n", false},
      // Only the first entry of the path is compared.
      {"/dev/sdb1 /data ext4 defaults 0 2\n/dev/sdc1 /data ext4 defaults 0 2\n", true},
      {"/dev/sdc1 /data ext4 defaults 0 2\n/dev/sdb1 /data ext4 defaults 0 2\n", false},
      {"/dev/sdb1 /other ext4 defaults 0 2\n/dev/sdb1 /data ext4 defaults 0 2\n", true},
  };
  for (const auto& c : cases) EXPECT_EQ(fstab_holds_entry(c.text, kWanted, "/data"), c.holds) << c.text;
}

TEST(FstabLines, UpsertReplacesInPlaceOrAppends) {
  const std::string w = kWanted;
  struct Case {
    std::string text;
    std::string result;
  } cases[] = {
      {"", w + "\n"},
      {"\n", "\n" + w + "\n"},
      {"# comment\n", "# comment\n" + w + "\n"},
      {"# comment", "# comment\n" + w + "\n"},  // missing final feed supplied
      {"# a\r\nproc /proc proc defaults 0 0\r\n", "# a\nproc /proc proc defaults 0 0\n" + w + "\n"},
      {"# a\n\n", "# a\n\n" + w + "\n"},  // a blank last line is kept when the entry follows it
      {"#/dev/sdb1 /data ext4 defaults 0 2\n", "#/dev/sdb1 /data ext4 defaults 0 2\n" + w + "\n"},
      {"proc  /proc proc\n/dev/old /data xfs ro 0 0\n  tmpfs /tmp tmpfs\n",
       "proc  /proc proc\n" + w + "\n  tmpfs /tmp tmpfs\n"},
      {"/dev/old /data xfs ro 0 0\n\n", w + "\n"},  // replaced in place, the blank last line goes
      // Every entry of the path is replaced where it stands.
      {"/dev/a /data xfs\nproc /proc proc\n/dev/b /data ext4\n#end", w + "\nproc /proc proc\n" + w + "\n#end\n"},
  };
  for (const auto& c : cases) {
    const std::string result = fstab_upsert_line(c.text, w, "/data");
    EXPECT_EQ(result, c.result) << testing::PrintToString(c.text);
    EXPECT_TRUE(fstab_holds_entry(result, w, "/data"));
    EXPECT_EQ(fstab_upsert_line(result, w, "/data"), result) << "a second upsert changes nothing";
  }
}

TEST(FstabLines, RemoveDropsEveryEntryOfThePath) {
  struct Case {
    std::string text;
    std::string result;
  } cases[] = {
      {"", ""},
      {"/dev/a /data ext4", ""},
      {"/dev/a /data ext4\n", ""},
      {"# keep\n/dev/a /data ext4\n", "# keep\n"},
      {"# keep\r\n/dev/a /data ext4\r\nproc /proc proc", "# keep\nproc /proc proc\n"},
      {"/dev/a /data x\n# mid\n/dev/b /data y\n", "# mid\n"},
      {"# a\n/dev/a /data x\n\n", "# a\n"},  // the blank last line goes
      {"\n/dev/a /data x\n", ""},             // one blank line left: the file is empty
      {"#/dev/a /data x\n", "#/dev/a /data x\n"},
      {"a /data2 x\n", "a /data2 x\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fstab_remove_line(c.text, "/data"), c.result) << testing::PrintToString(c.text);
  }
}

}  // namespace
}  // namespace toln
