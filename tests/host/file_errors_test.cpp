#include "host/file_errors.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace toln {
namespace {

TEST(FileErrors, Texts) {
  EXPECT_EQ(display_agent_error(write_failed_error("/p", AgentError::resource("inner"))),
            "resource error: failed to write /p: resource error: inner");
  EXPECT_EQ(stat_failed_error("/p", ENOENT).message(), "failed to stat /p: No such file or directory (os error 2)");
  EXPECT_EQ(create_dir_failed_error(EACCES).message(), "failed to create dir: Permission denied (os error 13)");
  EXPECT_EQ(remove_failed_error("/p", ENOTDIR).message(), "failed to remove /p: Not a directory (os error 20)");
  EXPECT_EQ(chmod_failed_error("/p", EPERM).message(), "failed to chmod /p: Operation not permitted (os error 1)");
  EXPECT_EQ(stat_failed_error("/p", ENOENT).kind(), AgentError::Resource);
}

}  // namespace
}  // namespace toln
