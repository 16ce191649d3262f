// The mount handler in the sandbox: a real /etc/fstab in the overlaid /etc,
// fakes for mountpoint, mount and umount that keep the mounted paths in
// $TOLN_FAKE_STATE/mounts.
#include "resources/mount.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "harness/sandbox.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

using testing::Invocation;
using testing::Sandbox;
using testing::error_of;
using testing::text;

constexpr const char* kFstab = "/etc/fstab";
constexpr const char* kWanted = "/dev/sdb1\t/data\text4\tdefaults\t0\t2";

// CRLF line ends, a comment, a commented-out entry for the path, spacing of
// its own and no final line feed.
constexpr const char* kSeed =
    "# /etc/fstab: static file system information.\r\n"
    "proc  /proc  proc  defaults  0  0\r\n"
    "#/dev/sdb1 /data ext4 defaults 0 2\r\n"
    "  tmpfs   /tmp tmpfs   mode=1777  0 0";
constexpr const char* kSeedRewritten =
    "# /etc/fstab: static file system information.\n"
    "proc  /proc  proc  defaults  0  0\n"
    "#/dev/sdb1 /data ext4 defaults 0 2\n"
    "  tmpfs   /tmp tmpfs   mode=1777  0 0\n";

ResolvedResource mount_resource(TomlTable props) {
  ResolvedResource r;
  r.resource_type = "mount";
  r.name = "data";
  r.props = std::move(props);
  return r;
}

// The resource for /dev/sdb1 on /data, with the props given on top.
ResolvedResource data_mount(TomlTable extra = {}) {
  TomlTable props = {{"device", text("/dev/sdb1")}, {"path", text("/data")}, {"fstype", text("ext4")},
                     {"pass", text("2")}};
  for (auto& [key, value] : extra) props[key] = value;
  return mount_resource(std::move(props));
}

void expect_changed(const HandlerResult& result, const std::string& diff) {
  ASSERT_TRUE(result) << error_of(result);
  EXPECT_EQ(result->type, "mount");
  EXPECT_EQ(result->name, "data");
  EXPECT_EQ(result->status, ResourceStatus::Changed);
  EXPECT_EQ(result->diff, diff);
}

void expect_ok(const HandlerResult& result) {
  ASSERT_TRUE(result) << error_of(result);
  EXPECT_EQ(result->status, ResourceStatus::Ok);
  EXPECT_FALSE(result->diff);
}

const Invocation kProbe = {"mountpoint", "-q", "/data"};
const Invocation kMount = {"mount", "/data"};
const Invocation kUmount = {"umount", "/data"};

class MountResource : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    sandbox.add_fake("mountpoint", R"(grep -qxF -- "$2" "$TOLN_FAKE_STATE/mounts" 2>/dev/null)");
    sandbox.add_fake("mount", R"(cp /etc/fstab "$TOLN_FAKE_STATE/fstab-at-mount" 2>/dev/null
if [ -e "$TOLN_FAKE_STATE/mount-fails" ]; then echo "mount: $1: can't find in /etc/fstab." >&2; exit 32; fi
printf '%s\n' "$1" >> "$TOLN_FAKE_STATE/mounts")");
    sandbox.add_fake("umount", R"(cp /etc/fstab "$TOLN_FAKE_STATE/fstab-at-umount" 2>/dev/null
if [ -e "$TOLN_FAKE_STATE/umount-fails" ]; then echo "umount: $1: target is busy." >&2; exit 32; fi
grep -vxF -- "$1" "$TOLN_FAKE_STATE/mounts" > "$TOLN_FAKE_STATE/mounts.new"
mv "$TOLN_FAKE_STATE/mounts.new" "$TOLN_FAKE_STATE/mounts")");
  }

  void set_mounted(const std::string& path) { write_state("mounts", path + "\n"); }
  void write_state(const std::string& name, const std::string& content) {
    std::ofstream(sandbox.state_dir() / name) << content;
  }
  std::optional<std::string> state(const std::string& name) const {
    std::ifstream in(sandbox.state_dir() / name);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The commands run, without the restorecon of every atomic write.
  std::vector<Invocation> commands() const { return sandbox.invocations_except("restorecon"); }

  Sandbox sandbox;
};

TEST_F(MountResource, FirstRunWritesTheEntryThenMountsSecondRunIsOk) {
  sandbox.write_upper(kFstab, kSeed, 0640);
  sandbox.run_in_process([] { expect_changed(apply_mount(data_mount(), false), "fstab entry for /data, mount /data"); });
  const std::string written = std::string(kSeedRewritten) + kWanted + "\n";
  EXPECT_EQ(sandbox.read_upper(kFstab), written);
  EXPECT_EQ(std::filesystem::status(sandbox.upper_path(kFstab)).permissions(),
            std::filesystem::perms(0640));
  EXPECT_EQ(state("fstab-at-mount"), written) << "the entry is written before mount runs";
  EXPECT_EQ(commands(), (std::vector<Invocation>{kProbe, kMount}));

  sandbox.clear_invocations();
  sandbox.run_in_process([] { expect_ok(apply_mount(data_mount(), false)); });
  EXPECT_EQ(sandbox.read_upper(kFstab), written);
  EXPECT_EQ(commands(), (std::vector<Invocation>{kProbe}));
}

TEST_F(MountResource, DryRunProbesButWritesAndMountsNothing) {
  sandbox.write_upper(kFstab, kSeed);
  sandbox.run_in_process([] { expect_changed(apply_mount(data_mount(), true), "fstab entry for /data, mount /data"); });
  EXPECT_EQ(sandbox.read_upper(kFstab), kSeed);
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{kProbe}));
}

TEST_F(MountResource, EntryWithTheSameWordsIsKept) {
  const std::string seed = "proc /proc proc defaults 0 0\n/dev/sdb1   /data ext4 defaults 0   2\r\n";
  sandbox.write_upper(kFstab, seed);
  set_mounted("/data");
  sandbox.run_in_process([] { expect_ok(apply_mount(data_mount(), false)); });
  EXPECT_EQ(sandbox.read_upper(kFstab), seed);
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{kProbe}));
}

// Every entry of the mount point is replaced where it stands.
TEST_F(MountResource, ChangedOptionsAreReplacedInPlace) {
  sandbox.write_upper(kFstab,
                      "/dev/sdb1 /data ext4 noatime 0 2\n"
                      "proc /proc proc defaults 0 0\n"
                      "/dev/sdb1 /data ext4 defaults 0 2\n");
  set_mounted("/data");
  sandbox.run_in_process([] { expect_changed(apply_mount(data_mount(), false), "fstab entry for /data"); });
  EXPECT_EQ(sandbox.read_upper(kFstab),
            std::string(kWanted) + "\nproc /proc proc defaults 0 0\n" + std::string(kWanted) + "\n");
  EXPECT_EQ(commands(), (std::vector<Invocation>{kProbe}));
}

TEST_F(MountResource, MissingFstabIsCreatedWithTheEntryAlone) {
  sandbox.whiteout(kFstab);
  sandbox.run_in_process([] {
    expect_changed(apply_mount(data_mount({{"options", text("noatime,nofail")}, {"dump", TomlValue{std::int64_t{1}}}}),
                               false),
                   "fstab entry for /data, mount /data");
  });
  EXPECT_EQ(sandbox.read_upper(kFstab), "/dev/sdb1\t/data\text4\tnoatime,nofail\t0\t2\n")
      << "a dump given as an integer counts as absent";
  EXPECT_EQ(std::filesystem::status(sandbox.upper_path(kFstab)).permissions(), std::filesystem::perms(0644));
}

TEST_F(MountResource, AbsentUnmountsThenRemovesTheEntry) {
  const std::string seed = std::string("# keep\r\n") + kWanted + "\r\nproc /proc proc defaults 0 0";
  sandbox.write_upper(kFstab, seed);
  set_mounted("/data");
  sandbox.run_in_process([] {
    expect_changed(apply_mount(data_mount({{"state", text("absent")}}), false),
                   "unmount /data, remove fstab entry for /data");
  });
  EXPECT_EQ(state("fstab-at-umount"), seed) << "umount runs before the entry is removed";
  EXPECT_EQ(sandbox.read_upper(kFstab), "# keep\nproc /proc proc defaults 0 0\n");
  EXPECT_EQ(commands(), (std::vector<Invocation>{kProbe, kUmount}));

  sandbox.clear_invocations();
  sandbox.run_in_process([] { expect_ok(apply_mount(data_mount({{"state", text("absent")}}), false)); });
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{kProbe}));
}

TEST_F(MountResource, AbsentLeavesAnEmptyFileAndDryRunChangesNothing) {
  sandbox.write_upper(kFstab, std::string(kWanted) + "\n");
  set_mounted("/data");
  sandbox.run_in_process([] {
    expect_changed(apply_mount(data_mount({{"state", text("absent")}}), true),
                   "unmount /data, remove fstab entry for /data");
  });
  EXPECT_EQ(sandbox.read_upper(kFstab), std::string(kWanted) + "\n");
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{kProbe}));

  sandbox.clear_invocations();
  sandbox.run_in_process([] {
    expect_changed(apply_mount(data_mount({{"state", text("absent")}}), false),
                   "unmount /data, remove fstab entry for /data");
  });
  EXPECT_EQ(sandbox.read_upper(kFstab), "");
}

TEST_F(MountResource, AbsentWithoutEntryOnlyUnmounts) {
  sandbox.write_upper(kFstab, kSeed);
  set_mounted("/data");
  sandbox.run_in_process(
      [] { expect_changed(apply_mount(data_mount({{"state", text("absent")}}), false), "unmount /data"); });
  EXPECT_EQ(sandbox.read_upper(kFstab), kSeed) << "an unchanged file is not rewritten";
}

TEST_F(MountResource, FailuresStopTheHandler) {
  sandbox.write_upper(kFstab, kSeed);
  write_state("mount-fails", "");
  sandbox.run_in_process([] {
    EXPECT_EQ(error_of(apply_mount(data_mount(), false)), "resource error: mount failed: mount: /data: can't find in /etc/fstab.\n");
  });
  EXPECT_EQ(sandbox.read_upper(kFstab), std::string(kSeedRewritten) + kWanted + "\n")
      << "the entry written before the failed mount stays";

  sandbox.write_upper(kFstab, std::string(kWanted) + "\n");
  set_mounted("/data");
  write_state("umount-fails", "");
  sandbox.run_in_process([] {
    EXPECT_EQ(error_of(apply_mount(data_mount({{"state", text("absent")}}), false)),
              "resource error: umount failed: umount: /data: target is busy.\n");
  });
  EXPECT_EQ(sandbox.read_upper(kFstab), std::string(kWanted) + "\n");
}

TEST_F(MountResource, UnwritableFstabStopsBeforeMount) {
  sandbox.write_upper("/etc/fstab.real", kSeed);
  std::filesystem::create_symlink("fstab.real", sandbox.upper_path(kFstab));
  sandbox.run_in_process([] {
    EXPECT_EQ(error_of(apply_mount(data_mount(), false)),
              "resource error: failed to write /etc/fstab: resource error: refusing to atomically write /etc/fstab: "
              "path is a symlink");
  });
  EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{});
  EXPECT_EQ(sandbox.read_upper("/etc/fstab.real"), kSeed);
}

TEST_F(MountResource, UnreadableFstabComesBeforeTheState) {
  sandbox.write_upper(kFstab, "\xff\n");
  sandbox.run_in_process([] {
    EXPECT_EQ(error_of(apply_mount(data_mount({{"state", text("Mounted")}}), false)),
              "resource error: failed to read /etc/fstab: stream did not contain valid UTF-8");
  });
  sandbox.write_upper(kFstab, kSeed);
  sandbox.run_in_process([] {
    EXPECT_EQ(error_of(apply_mount(data_mount({{"state", text("Mounted")}}), false)),
              "resource error: mount resource: unsupported state 'Mounted'; expected 'mounted' or 'absent'");
  });
  EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{});
}

TEST_F(MountResource, RequiredProperties) {
  sandbox.run_in_process([] {
    EXPECT_EQ(error_of(apply_mount(mount_resource({{"path", text("/data")}, {"fstype", text("ext4")}}), false)),
              "resource error: mount resource requires 'device'");
    EXPECT_EQ(error_of(apply_mount(mount_resource({{"device", text("/dev/sdb1")},
                                                   {"path", TomlValue{std::int64_t{5}}},
                                                   {"fstype", text("ext4")}}),
                                   false)),
              "resource error: mount resource requires 'path'");
    EXPECT_EQ(error_of(apply_mount(mount_resource({{"device", text("/dev/sdb1")}, {"path", text("/data")}}), false)),
              "resource error: mount resource requires 'fstype'");
  });
  EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{});
}

// Fields that would break the line or its columns are refused before the
// file is read or anything runs.
TEST_F(MountResource, RefusesFieldsThatWouldBreakTheLine) {
  sandbox.write_upper(kFstab, kSeed);
  sandbox.run_in_process([] {
    struct Case {
      std::string key;
      std::string value;
      std::string error;
    } cases[] = {
        {"path", "/my data", "mountpoint with whitespace is not supported"},
        {"path", "/data\n", "mountpoint with whitespace is not supported"},
        {"path", "/da\tta", "mountpoint with whitespace is not supported"},
        {"path", "/data\f", "mountpoint with whitespace is not supported"},
        {"path", "/data\r", "mountpoint with whitespace is not supported"},
        // Only blanks, tabs and line ends are the mount point's own refusal.
        {"path", "/data\v", "mount property 'path' must not contain whitespace"},
        {"path", "/da\u00a0ta", "mount property 'path' must not contain whitespace"},
        {"path", "", "mount property 'path' must not be empty"},
        {"path", std::string("/da\0ta", 6), "mount property 'path' must not contain a NUL byte"},
        {"path", "-a", "mount property 'path' must not begin with '-'"},
        {"device", "", "mount property 'device' must not be empty"},
        {"device", "LABEL=my disk", "mount property 'device' must not contain whitespace"},
        {"device", "#/dev/sdb1", "mount property 'device' must not begin with '#'"},
        {"fstype", "ext4\n/dev/evil /etc ext4", "mount property 'fstype' must not contain whitespace"},
        {"options", "rw, noatime", "mount property 'options' must not contain whitespace"},
        {"options", "", "mount property 'options' must not be empty"},
        {"dump", "0\t0", "mount property 'dump' must not contain whitespace"},
        {"pass", "", "mount property 'pass' must not be empty"},
        {"pass", "2\r", "mount property 'pass' must not contain whitespace"},
        {"pass", std::string("2\0", 2), "mount property 'pass' must not contain a NUL byte"},
    };
    for (const auto& c : cases) {
      for (bool dry_run : {false, true}) {
        auto result = apply_mount(data_mount({{c.key, text(c.value)}}), dry_run);
        ASSERT_TRUE(result) << error_of(result);
        EXPECT_EQ(result->status, ResourceStatus::Failed) << c.key << " " << c.value;
        EXPECT_EQ(result->error, c.error);
        EXPECT_FALSE(result->diff);
      }
    }
  });
  EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{});
  EXPECT_EQ(sandbox.read_upper(kFstab), kSeed);
}

}  // namespace
}  // namespace toln
