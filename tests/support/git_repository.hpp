#pragma once
// Repositories for the git tests, written by one `git fast-import` from a
// stream the test composes: a work tree, its commits and a push cost a
// dozen git processes, and process starts are what the suite's tests wait
// for most on a busy machine.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "harness/sandbox.hpp"

namespace toln::testing {

// The fixed author of every commit, so a stream always makes the same ids.
inline constexpr std::string_view kFastImportCommitter = "committer toln <toln@example.invalid> 1700000000 +0000\n";

inline std::string fast_import_data(const std::string& bytes) {
  return "data " + std::to_string(bytes.size()) + "\n" + bytes + "\n";
}

// A commit on ref with the given files (path, contents) changed from its
// parent, a mark ("" for the branch's current tip, or none on a new one).
struct FastImportCommit {
  int mark;
  std::string ref;
  std::string message;
  std::string parent;
  std::vector<std::pair<std::string, std::string>> files;
};

inline std::string fast_import(const FastImportCommit& commit) {
  std::string stream = "commit " + commit.ref + "\nmark :" + std::to_string(commit.mark) + "\n" +
                       std::string(kFastImportCommitter) + fast_import_data(commit.message);
  if (!commit.parent.empty()) stream += "from " + commit.parent + "\n";
  for (const auto& [path, contents] : commit.files) stream += "M 100644 inline " + path + "\n" + fast_import_data(contents);
  return stream + "\n";
}

inline std::string fast_import_lightweight_tag(const std::string& name, int mark) {
  return "reset refs/tags/" + name + "\nfrom :" + std::to_string(mark) + "\n\n";
}

inline std::string fast_import_annotated_tag(const std::string& name, int mark, const std::string& message) {
  return "tag " + name + "\nfrom :" + std::to_string(mark) + "\ntagger" +
         std::string(kFastImportCommitter).substr(std::string_view("committer").size()) + fast_import_data(message);
}

// Imports the stream into the repository at path, made bare with its HEAD
// on main first when create is set, and returns the commit ids of marks.
inline std::vector<std::string> import_into_repository(Sandbox& sandbox, const std::string& path, std::string stream,
                                                       const std::vector<int>& marks, bool create = true) {
  for (const int mark : marks) stream += "get-mark :" + std::to_string(mark) + "\n";
  const std::string init = create ? "git init -q --bare -b main '" + path + "' && " : "";
  const RunResult made = sandbox.run_in_namespace(init + "git -C '" + path + "' fast-import --quiet", std::move(stream));
  EXPECT_EQ(made.exit_status, 0) << made.err;
  std::vector<std::string> ids;
  std::istringstream lines(made.out);
  for (std::string id; lines >> id;) ids.push_back(id);
  EXPECT_EQ(ids.size(), marks.size()) << made.out;
  return ids;
}

}  // namespace toln::testing
