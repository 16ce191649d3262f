#pragma once
// What a handler changed, or would change in a dry run: the messages its
// result shows and the change records beside them. A message need not have
// a record, nor a record a message.

#include <string>
#include <vector>

#include "model/run_report.hpp"

namespace toln {

struct Changes {
  std::vector<std::string> messages;
  std::vector<FieldChange> records;

  // Changed with the messages joined, or ok when there are none; the records
  // as its changes.
  ResourceResult result(std::string type, std::string name) && {
    return result_with_changes(result_from_messages(std::move(type), std::move(name), messages), std::move(records));
  }
};

}  // namespace toln
