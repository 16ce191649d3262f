#include "model/agent_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace toln {
namespace {

TEST(AgentError, DisplayTextOfEveryKind) {
  struct Case {
    AgentError error;
    AgentError::Kind kind;
    std::string display;
  } cases[] = {
      {AgentError::config("bad"), AgentError::Config, "config error: bad"},
      {AgentError::connection("bad"), AgentError::Connection, "connection error: bad"},
      {AgentError::target_not_found("bad"), AgentError::TargetNotFound, "target not found: bad"},
      {AgentError::resource("bad"), AgentError::Resource, "resource error: bad"},
      {AgentError::parse("bad"), AgentError::Parse, "parse error: bad"},
      {AgentError::confirmation_required("bad"), AgentError::ConfirmationRequired, "confirmation required: bad"},
      {AgentError::conflict("bad"), AgentError::Conflict, "conflict: bad"},
      {AgentError::io(ENOENT), AgentError::Io, "No such file or directory (os error 2)"},
      {AgentError::other("bad"), AgentError::Other, "bad"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.display;
    EXPECT_EQ(display_agent_error(c.error), c.display);
  }
}

TEST(AgentError, OsErrorsKeepTheirContextAndErrno) {
  const AgentError with_context = AgentError::os("failed to create dir", ENOENT);
  EXPECT_EQ(display_agent_error(with_context), "resource error: failed to create dir: No such file or directory (os error 2)");
  EXPECT_EQ(with_context.os_errno(), ENOENT);
  EXPECT_EQ(AgentError::os("", EACCES).message(), "Permission denied (os error 13)");
  EXPECT_EQ(AgentError::io(ELOOP).os_errno(), ELOOP);
  EXPECT_EQ(AgentError::resource("bad").os_errno(), 0);
  const AgentError within = AgentError::io(ENOSPC).in_context("failed to copy x");
  EXPECT_EQ(display_agent_error(within), "resource error: failed to copy x: No space left on device (os error 28)");
  EXPECT_EQ(within.os_errno(), ENOSPC);
  const AgentError config = AgentError::os(AgentError::Config, "failed to read bundle from /b", EISDIR);
  EXPECT_EQ(display_agent_error(config), "config error: failed to read bundle from /b: Is a directory (os error 21)");
  EXPECT_EQ(config.os_errno(), EISDIR);
  EXPECT_EQ(display_agent_error(AgentError::io(ENOENT)), "No such file or directory (os error 2)");
}

TEST(AgentError, KindsKeepTheirOrder) {
  EXPECT_EQ(AgentError::Config, 0);
  EXPECT_EQ(AgentError::Connection, 1);
  EXPECT_EQ(AgentError::TargetNotFound, 2);
  EXPECT_EQ(AgentError::Resource, 3);
  EXPECT_EQ(AgentError::Parse, 4);
  EXPECT_EQ(AgentError::ConfirmationRequired, 5);
  EXPECT_EQ(AgentError::Conflict, 6);
  EXPECT_EQ(AgentError::Io, 7);
  EXPECT_EQ(AgentError::Other, 8);
}

TEST(AgentError, OsErrorText) {
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(EACCES), "Permission denied (os error 13)");
  EXPECT_EQ(os_error_text(EPIPE), "Broken pipe (os error 32)");
  EXPECT_EQ(os_error_text(EISDIR), "Is a directory (os error 21)");
  EXPECT_EQ(os_error_text(9999), "Unknown error 9999 (os error 9999)");
}

TEST(AgentError, QuotedErrorKeepsItsPrefix) {
  const AgentError inner = AgentError::config("input too large: exceeds 67108864 bytes");
  EXPECT_EQ("failed to read stdin: " + display_agent_error(inner),
            "failed to read stdin: config error: input too large: exceeds 67108864 bytes");
  EXPECT_EQ(display_agent_error(AgentError::other("")), "");
  EXPECT_EQ(display_agent_error(AgentError::resource("")), "resource error: ");
}

}  // namespace
}  // namespace toln
