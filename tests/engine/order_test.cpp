#include "engine/order.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

ResolvedResource res(std::string type, std::string name, std::vector<std::string> after = {}) {
  ResolvedResource r;
  r.resource_type = std::move(type);
  r.name = std::move(name);
  r.after = std::move(after);
  return r;
}

std::vector<std::vector<std::string>> level_ids(const ResourceLevels& levels) {
  std::vector<std::vector<std::string>> ids;
  for (const auto& level : levels) {
    auto& out = ids.emplace_back();
    for (const ResolvedResource* r : level) out.push_back(resource_id(*r));
  }
  return ids;
}

std::string order_error(const std::vector<ResolvedResource>& resources) {
  auto levels = order_resources(resources);
  EXPECT_FALSE(levels);
  return levels ? "" : display_agent_error(levels.error());
}

TEST(OrderResources, EmptyListHasNoLevels) {
  auto levels = order_resources({});
  ASSERT_TRUE(levels);
  EXPECT_TRUE(levels->empty());
}

// The levels point into the input, which must outlive them.
std::vector<std::vector<std::string>> ordered_ids(const std::vector<ResolvedResource>& resources) {
  auto levels = order_resources(resources);
  EXPECT_TRUE(levels);
  return levels ? level_ids(*levels) : std::vector<std::vector<std::string>>{};
}

TEST(OrderResources, LevelsSortedByIdBytewise) {
  EXPECT_EQ(ordered_ids({res("b", "x"), res("a", "y"), res("a", "x"), res("A", "z"), res("a", "xx")}),
            (std::vector<std::vector<std::string>>{{"A.z", "a.x", "a.xx", "a.y", "b.x"}}));
}

TEST(OrderResources, ChainsAndDiamonds) {
  EXPECT_EQ(ordered_ids({res("t", "c", {"t.b"}), res("t", "b", {"t.a"}), res("t", "a"), res("t", "d")}),
            (std::vector<std::vector<std::string>>{{"t.a", "t.d"}, {"t.b"}, {"t.c"}}));
  EXPECT_EQ(
      ordered_ids({res("t", "d", {"t.b", "t.c"}), res("t", "b", {"t.a"}), res("t", "c", {"t.a"}), res("t", "a")}),
      (std::vector<std::vector<std::string>>{{"t.a"}, {"t.b", "t.c"}, {"t.d"}}));
}

TEST(OrderResources, RepeatedAfterEntryCountsTwiceAndIsReleasedTwice) {
  EXPECT_EQ(ordered_ids({res("t", "b", {"t.a", "t.a"}), res("t", "a")}),
            (std::vector<std::vector<std::string>>{{"t.a"}, {"t.b"}}));
}

TEST(OrderResources, Errors) {
  EXPECT_EQ(order_error({res("t", "a", {"t.missing"})}),
            "config error: resource t.a depends on unknown resource t.missing");
  EXPECT_EQ(order_error({res("t", "a", {" t.b"}), res("t", "b")}),
            "config error: resource t.a depends on unknown resource  t.b");
  EXPECT_EQ(order_error({res("t", "a", {"T.b"}), res("t", "b")}),
            "config error: resource t.a depends on unknown resource T.b");
  EXPECT_EQ(order_error({res("t", "a", {"t.a"})}), "config error: circular dependency detected in resources");
  EXPECT_EQ(order_error({res("t", "a", {"t.b"}), res("t", "b", {"t.a"})}),
            "config error: circular dependency detected in resources");
  // One id twice, with or without after entries.
  EXPECT_EQ(order_error({res("t", "a"), res("t", "a")}), "config error: circular dependency detected in resources");
  EXPECT_EQ(order_error({res("a.b", "c"), res("a", "b.c")}),
            "config error: circular dependency detected in resources");
}

TEST(OrderResources, UnknownEntryIsReportedBeforeACycle) {
  EXPECT_EQ(order_error({res("t", "a", {"t.b"}), res("t", "b", {"t.a"}), res("t", "c", {"t.nothing"})}),
            "config error: resource t.c depends on unknown resource t.nothing");
}

}  // namespace
}  // namespace toln
