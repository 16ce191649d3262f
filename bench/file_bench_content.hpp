#pragma once
// What the file benchmark declares: the path and contents of file i.

#include <cstdio>
#include <string>

namespace toln::bench {

inline std::string file_path(const std::string& dir, int i) {
  char name[32];
  std::snprintf(name, sizeof name, "/file-%04d.conf", i);
  return dir + name;
}

// About 200 bytes, different for every file.
inline std::string content_of(int i) {
  std::string text = "# generated for the file benchmark\n";
  for (int line = 0; line < 5; ++line) {
    text += "key_" + std::to_string(line) + " = \"value " + std::to_string(i) + "." + std::to_string(line) + "\"\n";
  }
  return text;
}

}  // namespace toln::bench
