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

// Who wrote every commit and tag, and when: fixed, so a stream always makes
// the same ids.
inline const std::string kFastImportIdent = "toln <toln@example.invalid> 1700000000 +0000\n";

inline std::string fast_import_data(const std::string& bytes) {
  return "data " + std::to_string(bytes.size()) + "\n" + bytes + "\n";
}

// A commit on ref with the given files (path, contents) changed from its
// parent: a mark such as ":1" or any commit-ish, "" to go on from the
// branch's tip (none on a new branch).
struct FastImportCommit {
  int mark;
  std::string ref;
  std::string message;
  std::string parent;
  std::vector<std::pair<std::string, std::string>> files;
};

inline std::string fast_import(const FastImportCommit& commit) {
  std::string stream = "commit " + commit.ref + "\nmark :" + std::to_string(commit.mark) + "\n" +
                       "committer " + kFastImportIdent + fast_import_data(commit.message);
  if (!commit.parent.empty()) stream += "from " + commit.parent + "\n";
  for (const auto& [path, contents] : commit.files) stream += "M 100644 inline " + path + "\n" + fast_import_data(contents);
  return stream + "\n";
}

inline std::string fast_import_lightweight_tag(const std::string& name, int mark) {
  return "reset refs/tags/" + name + "\nfrom :" + std::to_string(mark) + "\n\n";
}

inline std::string fast_import_annotated_tag(const std::string& name, int mark, const std::string& message) {
  return "tag " + name + "\nfrom :" + std::to_string(mark) + "\ntagger " + kFastImportIdent + fast_import_data(message);
}

// Runs setup (a shell command, or nothing) and then imports the stream into
// the repository at path, in one process; the commit ids of marks.
inline std::vector<std::string> run_fast_import(Sandbox& sandbox, const std::string& setup, const std::string& path,
                                                std::string stream, const std::vector<int>& marks) {
  for (const int mark : marks) stream += "get-mark :" + std::to_string(mark) + "\n";
  const RunResult made =
      sandbox.run_in_namespace(setup + "git -C '" + path + "' fast-import --quiet", std::move(stream));
  EXPECT_EQ(made.exit_status, 0) << made.err;
  std::vector<std::string> ids;
  std::istringstream lines(made.out);
  for (std::string id; lines >> id;) ids.push_back(id);
  EXPECT_EQ(ids.size(), marks.size()) << made.out;
  return ids;
}

// Makes a bare repository at path, its HEAD on main, holding what the
// stream describes; the commit ids of marks.
inline std::vector<std::string> make_bare_repository(Sandbox& sandbox, const std::string& path, std::string stream,
                                                     const std::vector<int>& marks) {
  return run_fast_import(sandbox, "git init -q --bare -b main '" + path + "' && ", path, std::move(stream), marks);
}

// Adds what the stream describes to the repository at path.
inline std::vector<std::string> import_into_repository(Sandbox& sandbox, const std::string& path, std::string stream,
                                                       const std::vector<int>& marks) {
  return run_fast_import(sandbox, "", path, std::move(stream), marks);
}

}  // namespace toln::testing
