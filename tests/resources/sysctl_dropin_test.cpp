#include "resources/sysctl_dropin.hpp"

#include <gtest/gtest.h>

#include "text/lines.hpp"

namespace toln {
namespace {

bool present(std::string_view text, std::string_view key, std::string_view value) {
  return sysctl_line_present(split_lines(text), key, value);
}

TEST(SysctlDropin, LinePresent) {
  struct Case {
    std::string text;
    std::string value;
    bool present;
  } cases[] = {
      {"", "1", false},
      {"net.ipv4.ip_forward = 1\n", "1", true},
      {"net.ipv4.ip_forward=1", "1", true},
      {"   net.ipv4.ip_forward   =   1   \r\n", "1", true},
      // Only blanks are removed: tabs around "=" count.
      {"net.ipv4.ip_forward\t=\t1\n", "1", false},
      {"net.ipv4.ip_forward = 0\n", "1", false},
      {"# net.ipv4.ip_forward = 1\n", "1", false},
      {"net.ipv4.ip_forwarding = 1\n", "1", false},
      {"net.ipv4.ip_forward = 1 \n", "1", true},
      // Blanks inside a value go as well, so a multi-word value is found.
      {"net.ipv4.ip_forward = 32768 60999\n", "32768 60999", true},
      {"net.ipv4.ip_forward = 32768\t60999\n", "32768 60999", false},
      {"net.ipv4.ip_forward = 32768   60999\n", "32768  60999", true},
      // Words stay apart: another value is not the same once blanks go.
      {"net.ipv4.ip_forward = 3276860999\n", "32768 60999", false},
      {"net.ipv4.ip_forward = 32768 60999\n", "3276860999", false},
      {"net.ipv4.ip_forward = 4 4 1 7\n", "44 17", false},
      {"net.ipv4.ip_forward = 1\nnet.ipv4.ip_forward = 0\n", "1", true},
      {"net.ipv4.ip_forward = 1\n# net.ipv4.ip_forward = 0\nother = 0\n", "1", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(present(c.text, "net.ipv4.ip_forward", c.value), c.present) << testing::PrintToString(c.text);
  }
}

TEST(SysctlDropin, OtherLinesKeepEverythingButTheKey) {
  const std::string text =
      "# managed by toln\n"
      "\n"
      "vm.swappiness = 10\r\n"
      "vm.swappiness=20\n"
      "  vm.swappiness\t= 30\n"
      "#vm.swappiness = 40\n"
      "vm.swappiness_other = 50\n"
      "no equals sign here\n"
      "kernel.x = vm.swappiness = 1";
  EXPECT_EQ(sysctl_other_lines(text, "vm.swappiness"),
            (std::vector<std::string_view>{"# managed by toln", "", "#vm.swappiness = 40", "vm.swappiness_other = 50",
                                           "no equals sign here", "kernel.x = vm.swappiness = 1"}));
}

TEST(SysctlDropin, ContentMovesTheSettingToTheEnd) {
  struct Case {
    std::string text;
    std::string content;
  } cases[] = {
      {"", "vm.swappiness = 10\n"},
      {"# a\r\nvm.swappiness = 60\r\n# b\r\n", "# a\n# b\nvm.swappiness = 10\n"},
      {"# a\nvm.swappiness = 60\n# b", "# a\n# b\nvm.swappiness = 10\n"},
      {"kernel.x = 1\n\n", "kernel.x = 1\n\nvm.swappiness = 10\n"},
      {"vm.swappiness = 60\nvm.swappiness = 70\n", "vm.swappiness = 10\n"},
  };
  for (const auto& c : cases) {
    const std::string content = sysctl_dropin_content(c.text, "vm.swappiness", "10");
    EXPECT_EQ(content, c.content) << testing::PrintToString(c.text);
    EXPECT_TRUE(present(content, "vm.swappiness", "10"));
  }
  EXPECT_EQ(sysctl_dropin_content("", "net.ipv4.ip_local_port_range", "32768 60999"),
            "net.ipv4.ip_local_port_range = 32768 60999\n");
}

}  // namespace
}  // namespace toln
