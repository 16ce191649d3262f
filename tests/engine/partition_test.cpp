// Setting handlers aside and keeping the notified ones: pure list logic.
#include <gtest/gtest.h>

#include "engine/run_bundle.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

using testing::make_resource;

ResolvedResource resource(std::string type, std::string name, bool handler) {
  ResolvedResource r = make_resource(std::move(type), std::move(name), {});
  r.handler = handler;
  return r;
}

std::vector<std::string> ids(const std::vector<ResolvedResource>& resources) {
  std::vector<std::string> out;
  for (const auto& r : resources) out.push_back(resource_id(r));
  return out;
}

TEST(PartitionHandlers, KeepsBundleOrderOnBothSides) {
  const PartitionedResources parts = partition_handlers({resource("cmd", "z", false), resource("cmd", "h2", true),
                                                         resource("file", "a", false), resource("cmd", "h1", true)});
  EXPECT_EQ(ids(parts.ordinary), (std::vector<std::string>{"cmd.z", "file.a"}));
  EXPECT_EQ(ids(parts.handlers), (std::vector<std::string>{"cmd.h2", "cmd.h1"}));
}

TEST(RetainNotifiedHandlers, KeepsOnlyNotifiedOnesInBundleOrder) {
  const std::vector<ResolvedResource> handlers = {resource("cmd", "c", true), resource("cmd", "a", true),
                                                  resource("cmd", "b", true)};
  EXPECT_EQ(ids(retain_notified_handlers(handlers, {"cmd.b", "cmd.c"})), (std::vector<std::string>{"cmd.c", "cmd.b"}));
  EXPECT_EQ(ids(retain_notified_handlers(handlers, {"cmd.A", "cmd.a "})), std::vector<std::string>{})
      << "ids are compared exactly";
  EXPECT_EQ(ids(retain_notified_handlers(handlers, {})), std::vector<std::string>{});
}

}  // namespace
}  // namespace toln
