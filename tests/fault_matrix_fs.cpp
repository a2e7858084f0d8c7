// The fault matrix's file-system cells, on its fixture (fault_matrix.h), in its binary.
#include "tests/fault_matrix.h"

namespace fw::test {
namespace {

// Runs the rest of the words in a mount namespace of its own where `dir` ($2) is read-only
// ("ro"), or lies on a tiny tmpfs filled to the last block ("full": what was there is copied
// in first, and what is there at the end out to `hold` ($3), as a full disk keeps it).
const char* const kWithFolderFault = R"(
set -u
mode=$1 dir=$2 hold=$3; shift 3
case $mode in
  ro) mount --bind "$dir" "$dir" && mount -o remount,bind,ro "$dir" || exit 97 ;;
  full) cp -a "$dir/." "$hold/" && mount -t tmpfs -o size=256k tmpfs "$dir" &&
        cp -a "$hold/." "$dir/" || exit 97
        dd if=/dev/zero of="$dir/.filler" bs=4k 2>/dev/null
        df "$dir" | grep -q ' 100% ' || exit 98 ;;
esac
"$@"; rc=$?
if [ "$mode" = full ]; then
  rm -f "$dir/.filler"; rm -rf "$hold"; mkdir "$hold"; cp -a "$dir/." "$hold/"
fi
exit $rc
)";

// The folders refusing what a scan does around its commit, and the process dying right after
// each commit of a scan: afterwards, scans and passes without the fault restore the invariant.
TEST_P(FaultMatrix, FileSystemFaultsAroundACommit) {
  ASSERT_TRUE(UnshareAvailable()) << "no mount namespaces (unshare -m)";
  const std::string cards = Env().dir.File("cards");
  std::filesystem::create_directory(cards);
  Env().drop = cards + "/drop";
  Env().done = cards + "/done";
  Env().errors = cards + "/errors";
  Env().SetFolders();
  const std::string registry = Env().dir.File("registry.reg");
  WriteRegistryFile(registry, Env().Args());
  const std::string logs = Env().dir.File("logs"), out = Env().dir.File("out");
  std::filesystem::create_directories(logs);
  std::filesystem::create_directories(out);

  struct TCase {
    const char* what;
    const char* mode;  // "ro", "full" or "crash"
    std::string dir;
  };
  const TCase cases[] = {
      {"the done folder refuses the move", "ro", Env().done},
      {"the error folder refuses the move", "ro", Env().errors},
      {"the drop folder refuses renames", "ro", Env().drop},
      {"the error folder is full when the report is written", "full", cards},
      {"the process ends right after a commit", "crash", ""},
  };
  for (const bool batched : {true, false}) {
    const TState want = FaultFree(batched);
    baseline_[batched][""] = want;
    TEnv env = {{"FENWOLD_REGISTRY", registry},
                {"FENWOLD_LOG_DIR", logs},
                {"FENWOLD_INTAKE", batched ? "batched" : "per-row"}};
    const auto ctl = [&](const std::string& command, const TEnv& extra = {}) {
      TEnv e = env;
      for (const auto& [k, v] : extra) e[k] = v;
      return RunProgram(FENWOLD_CTL_BINARY, {command}, e, out, std::chrono::seconds(120));
    };
    for (const TCase& c : cases) {
      for (int k = 1;; ++k) {
        SCOPED_TRACE(std::string(c.what) + (batched ? ", batched" : ", per-row") +
                     (std::string(c.mode) == "crash" ? ", commit " + std::to_string(k) : ""));
        Reset(batched);
        DropAll();
        TRunResult faulted;
        if (std::string(c.mode) == "crash") {
          faulted = ctl("scan", {{"FENWOLD_TEST_FAULT_EXIT_AFTER_COMMIT", std::to_string(k)}});
          if (faulted.status != kFaultExitStatus) break;  // k is past the last commit
        } else {
          const std::string hold = Env().dir.File("hold");
          std::filesystem::remove_all(hold);
          std::filesystem::create_directory(hold);
          TEnv e = env;
          faulted = RunProgram("/usr/bin/unshare",
                               {"-m", "--propagation", "private", "/bin/sh", "-c", kWithFolderFault,
                                "sh", c.mode, c.dir, hold, FENWOLD_CTL_BINARY, "scan"},
                               e, out, std::chrono::seconds(120));
          ASSERT_NE(faulted.status, 97) << "cannot mount: " << faulted.err;
          ASSERT_NE(faulted.status, 98) << "the tmpfs did not fill up";
          if (std::string(c.mode) == "full") {
            std::filesystem::remove_all(cards);
            std::filesystem::copy(hold, cards, std::filesystem::copy_options::recursive);
          }
        }
        {
          // The fault must have shown, or the case tests nothing.
          TTally ignored;
          const TState during = Snapshot();
          if (std::string(c.mode) == "ro") {
            EXPECT_NE(Judge(during, phStaging, -1, batched, ignored), "") << "no sign of the fault";
          } else if (std::string(c.mode) == "full") {
            EXPECT_NE(during.errorFolder, want.errorFolder) << "no sign of the fault";
          }
        }
        for (int round = 0; round < 4; ++round) {
          ctl("scan");
          ctl("pass");
          if (FilesIn(Env().drop).empty() &&
              Env().Scalar("SELECT COUNT(*) FROM futurecard") == "0") {
            break;
          }
        }
        TTally tally;
        const TState after = Snapshot();
        const std::string diff = Judge(after, phStaging, -1, batched, tally);
        // A report that could not be written is logged, and the file still goes: a note.
        std::string note;
        if (after.errorFolder != want.errorFolder) {
          note = " (error folder:";
          for (const std::string& n : after.errorFolder) note += " " + n;
          note += "; fault-free:";
          for (const std::string& n : want.errorFolder) note += " " + n;
          note += ")";
        }
        if (!diff.empty())
          ADD_FAILURE() << diff << "scan exited " << faulted.status << "\n"
                        << faulted.out << faulted.err;
        std::cout << SchemaName(GetParam()) << (batched ? " batched: " : " per-row: ") << c.what
                  << (std::string(c.mode) == "crash" ? " (commit " + std::to_string(k) + ")" : "")
                  << ": " << (diff.empty() ? "invariant holds" : "INVARIANT BROKEN") << note
                  << "\n";
        if (std::string(c.mode) != "crash") break;
      }
    }
  }
}

}  // namespace
}  // namespace fw::test
