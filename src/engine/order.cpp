#include "engine/order.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace toln {
namespace {

AgentError unknown_dependency(const std::string& id, const std::string& entry) {
  return AgentError::config("resource " + id + " depends on unknown resource " + entry);
}

}  // namespace

Result<ResourceLevels> order_resources(const std::vector<ResolvedResource>& resources) {
  // Every distinct id gets a slot; a later resource with an id already seen
  // replaces the earlier one in it, so duplicates leave the count short and
  // end as a cycle below.
  std::vector<std::string> ids;
  ids.reserve(resources.size());
  for (const auto& r : resources) ids.push_back(resource_id(r));

  std::unordered_map<std::string_view, std::uint32_t> slot_of;
  slot_of.reserve(resources.size());
  std::vector<std::uint32_t> slot_resource;
  std::vector<std::uint32_t> resource_slot(resources.size());
  for (std::uint32_t i = 0; i < resources.size(); ++i) {
    auto [it, inserted] = slot_of.try_emplace(ids[i], static_cast<std::uint32_t>(slot_resource.size()));
    if (inserted) {
      slot_resource.push_back(i);
    } else {
      slot_resource[it->second] = i;
    }
    resource_slot[i] = it->second;
  }

  for (std::uint32_t i = 0; i < resources.size(); ++i) {
    for (const auto& entry : resources[i].after) {
      if (!slot_of.contains(entry)) return unknown_dependency(ids[i], entry);
    }
  }

  std::vector<std::uint64_t> in_degree(slot_resource.size(), 0);
  std::vector<std::vector<std::uint32_t>> dependents(slot_resource.size());
  for (std::uint32_t i = 0; i < resources.size(); ++i) {
    for (const auto& entry : resources[i].after) {
      ++in_degree[resource_slot[i]];
      dependents[slot_of.find(entry)->second].push_back(resource_slot[i]);
    }
  }

  std::vector<std::uint32_t> ready;
  for (std::uint32_t slot = 0; slot < slot_resource.size(); ++slot) {
    if (in_degree[slot] == 0) ready.push_back(slot);
  }

  ResourceLevels levels;
  std::size_t placed = 0;
  std::vector<std::uint32_t> next;
  while (!ready.empty()) {
    std::vector<const ResolvedResource*> level;
    level.reserve(ready.size());
    for (std::uint32_t slot : ready) level.push_back(&resources[slot_resource[slot]]);
    std::stable_sort(level.begin(), level.end(), [&](const ResolvedResource* a, const ResolvedResource* b) {
      return ids[static_cast<std::size_t>(a - resources.data())] < ids[static_cast<std::size_t>(b - resources.data())];
    });
    next.clear();
    for (std::uint32_t slot : ready) {
      for (std::uint32_t dependent : dependents[slot]) {
        if (--in_degree[dependent] == 0) next.push_back(dependent);
      }
    }
    placed += level.size();
    levels.push_back(std::move(level));
    std::swap(ready, next);
  }

  if (placed != resources.size()) return AgentError::config("circular dependency detected in resources");
  return levels;
}

}  // namespace toln
