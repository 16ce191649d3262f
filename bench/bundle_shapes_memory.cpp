// Peak resident memory of the agent binary given bundles of the shapes that
// cost the most memory per byte of text: arrays of tiny integers, of empty
// inline tables and of empty arrays, many tiny keys, many tiny tables of an
// array of tables, and many long dotted keys (a table per part) of short and
// of longer parts. The values sit in one resource's props, where the record
// reader copies them too; the tiny tables sit under a root key that the
// reader skips, so only the TOML library builds them. The resource's type
// is unknown, so the run touches nothing.
//
// Each shape is run twice: filling the 64 MiB size limit, and with as many
// elements as the value bound admits followed by one string that fills the
// rest of the 64 MiB (a long string costs about three times its length).
// The figure is the agent's ru_maxrss from wait4.
//   bundle_shapes_memory [agent binary, default the one built beside it]
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>

#include "model/toml_bounds.hpp"

extern char** environ;

namespace {

constexpr std::size_t kSizeLimit = 64 * 1024 * 1024;

const std::string kHead =
    "host = \"shapes\"\n\n[[resources]]\nresource_type = \"bench-none\"\nname = \"shape\"\n[resources.props]\n";

// A short, distinct name for element i.
std::string name_of(std::size_t i) {
  std::string name = "k";
  do {
    name += "abcdefghijklmnopqrstuvwxyz0123456789"[i % 36];
    i /= 36;
  } while (i != 0);
  return name;
}

struct Shape {
  const char* name;
  std::size_t values_per_element;  // as the value bound counts them
  std::function<std::string(std::size_t count, std::size_t size)> make;  // count elements or size bytes
};

std::string array_of(std::string_view element, std::size_t count, std::size_t size) {
  std::string text = kHead + "a = [";
  for (std::size_t i = 0; i < count && text.size() + element.size() + 3 < size; ++i) {
    text += element;
    text += ',';
  }
  text += "]\n";
  return text;
}

template <class Line>
std::string lines_of(std::string head, Line line, std::size_t count, std::size_t size) {
  std::string text = std::move(head);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string next = line(i);
    if (text.size() + next.size() > size) break;
    text += next;
  }
  return text;
}

// Lines of 100 parts of part_size letters each, the first part distinct.
std::string dotted_keys(std::size_t part_size, std::size_t count, std::size_t size) {
  std::string chain;
  for (int i = 0; i < 99; ++i) chain += "." + std::string(part_size, 'a');
  return lines_of(
      kHead,
      [&](std::size_t i) {
        std::string first = name_of(i);
        first.resize(std::max(first.size(), part_size), 'a');
        return first + chain + "=0\n";
      },
      count, size);
}

const Shape kShapes[] = {
    {"array of tiny integers", 1, [](std::size_t n, std::size_t size) { return array_of("0", n, size); }},
    {"array of empty inline tables", 1, [](std::size_t n, std::size_t size) { return array_of("{}", n, size); }},
    {"array of empty arrays", 1, [](std::size_t n, std::size_t size) { return array_of("[]", n, size); }},
    {"tiny keys", 1,
     [](std::size_t n, std::size_t size) {
       return lines_of(kHead, [](std::size_t i) { return name_of(i) + "=0\n"; }, n, size);
     }},
    {"tiny tables of an array of tables", 1,
     [](std::size_t n, std::size_t size) {
       return lines_of("host = \"shapes\"\nresources = []\n", [](std::size_t) { return std::string("[[t]]\n"); }, n,
                       size);
     }},
    {"dotted keys of 100 one-letter parts", 100,
     [](std::size_t n, std::size_t size) { return dotted_keys(1, n, size); }},
    // Parts too long for a string's inline buffer: each is on the heap
    // twice, in toml++'s key and in the reader's.
    {"dotted keys of 100 parts of 26 letters", 100,
     [](std::size_t n, std::size_t size) { return dotted_keys(26, n, size); }},
};

struct Outcome {
  int status = -1;
  double peak_mib = 0;
  std::string first_line;
};

// The child's ru_maxrss starts from this process's high-water mark of
// resident memory at the spawn, so the text is handed over in a memfd and
// freed, and the mark reset (writing 5 to /proc/self/clear_refs) to what is
// left: far below the agent's own baseline.
Outcome run_agent(const char* agent, std::string text) {
  Outcome outcome;
  const int in = memfd_create("bundle", 0);
  const int err = memfd_create("stderr", 0);
  if (in < 0 || err < 0) return outcome;
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = write(in, text.data() + done, text.size() - done);
    if (n <= 0) return outcome;
    done += static_cast<std::size_t>(n);
  }
  std::string().swap(text);
  malloc_trim(0);
  if (!(std::ofstream("/proc/self/clear_refs") << "5")) return outcome;
  lseek(in, 0, SEEK_SET);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  char* argv[] = {const_cast<char*>(agent), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, agent, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned == 0) {
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) == pid) {
      outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      outcome.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
    }
    char buffer[512] = {};
    const ssize_t n = pread(err, buffer, sizeof buffer - 1, 0);
    outcome.first_line.assign(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    // The parse error's line that says why: the last non-empty one.
    while (!outcome.first_line.empty() && outcome.first_line.back() == '\n') outcome.first_line.pop_back();
    if (const auto nl = outcome.first_line.rfind('\n'); nl != std::string::npos) {
      outcome.first_line.erase(0, nl + 1);
    }
  }
  close(in);
  close(err);
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  const char* agent = argc > 1 ? argv[1] : TOLN_AGENT_PATH;
  std::printf("agent %s\n%-40s %-6s %9s %9s %6s  %s\n", agent, "shape", "run", "text MiB", "peak MiB", "status",
              "last line on stderr");
  for (const Shape& shape : kShapes) {
    const std::size_t under_bound = (toln::kMaxBundleValues - 16) / shape.values_per_element;
    for (const auto& [label, count, size] : {std::tuple{"limit", static_cast<std::size_t>(-1), kSizeLimit},
                                             std::tuple{"bound", under_bound, kSizeLimit}}) {
      std::string text = shape.make(count, size);
      if (text.size() + 7 < size) text += "s = \"" + std::string(size - text.size() - 7, 'x') + "\"\n";
      const std::size_t text_size = text.size();
      const Outcome outcome = run_agent(agent, std::move(text));
      std::printf("%-40s %-6s %9.1f %9.1f %6d  %.70s\n", shape.name, label,
                  static_cast<double>(text_size) / (1024.0 * 1024.0), outcome.peak_mib, outcome.status,
                  outcome.first_line.c_str());
      std::fflush(stdout);
    }
  }
  return 0;
}
