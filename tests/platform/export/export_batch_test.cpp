// Batches of exports: output names, shards and the shell words of --list in process; then the
// program itself on a library of the bundled loops cut to six frames, run as one process, as
// GNU parallel over --list, as two --shard processes and as a Slurm job array, all giving the
// same bytes, and a batch killed midway finishing without touching what it had done.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "tests/platform/export/export_probe.h"
#include "platform/export/export_batch.h"

namespace {

namespace fs = std::filesystem;
namespace ex = vl::exporting;
using vl::test::Quoted;
using vl::test::RunCommand;

// ---- In process -------------------------------------------------------------------------------

TEST(ExportBatchPlan, OutputNamesComeFromThePattern) {
  std::string why;
  EXPECT_EQ(ex::ExpandNamePattern(ex::kDefaultNamePattern, "embers", 13, "mkv", &why), "embers_13.mkv");
  // A PNG sequence is a folder: no dangling dot.
  EXPECT_EQ(ex::ExpandNamePattern(ex::kDefaultNamePattern, "embers", 13, "", &why), "embers_13");
  EXPECT_EQ(ex::ExpandNamePattern("p{preset}-{loop}-{loop}.{ext}", "a b", 0, "avi", &why), "p0-a b-a b.avi");

  EXPECT_FALSE(ex::ExpandNamePattern("{loop}_{size}.{ext}", "x", 1, "avi", &why));
  EXPECT_NE(why.find("holds {size}; it knows {loop}, {preset} and {ext}"), std::string::npos) << why;
  EXPECT_FALSE(ex::ExpandNamePattern("{loop", "x", 1, "avi", &why));
  EXPECT_FALSE(ex::ExpandNamePattern("{preset}/{loop}.{ext}", "x", 1, "avi", &why));
  EXPECT_NE(why.find("'/'"), std::string::npos) << why;
  EXPECT_FALSE(ex::ExpandNamePattern("{ext}", "x", 1, "", &why));
  EXPECT_FALSE(ex::ExpandNamePattern("..", "x", 1, "", &why));
}

TEST(ExportBatchPlan, RefusesBatchesThatCannotBeWritten) {
  const fs::path dir = fs::temp_directory_path() / ("vl_batch_plan_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  { std::ofstream(dir / "a.lqf") << "not a loop"; }
  fs::create_symlink(dir / "a.lqf", dir / "link.lqf");
  ex::BatchRequest request;
  request.loops = {(dir / "a.lqf").string(), (dir / "sub" / ".." / "a.lqf").string(), (dir / "link.lqf").string(),
                   (dir / "b.lqf").string()};
  request.presets = {13, 12, 13};
  request.out_dir = (dir / "out").string();
  std::string why;
  auto jobs = ex::PlanBatch(request, &why);
  ASSERT_TRUE(jobs) << why;
  // The same loop and the same preset once each; a loop that cannot be read is still a job (it
  // fails when run, saying why) and costs nothing.
  ASSERT_EQ(jobs->size(), 4u);
  EXPECT_EQ((*jobs)[1].out, (dir / "out" / "a_12.mpg").string());
  EXPECT_EQ((*jobs)[3].loop, (dir / "b.lqf").string());
  EXPECT_EQ((*jobs)[3].cost, 0);

  struct Case {
    std::vector<int> presets;
    ex::ExportFormat format;
    std::string pattern, out_dir, message;
  };
  const Case cases[] = {
      {{13, 12}, ex::ExportFormat::kMkv, "{loop}.{ext}", "out", "a.mkv would be written twice"},
      {{17}, ex::ExportFormat::kMkv, ex::kDefaultNamePattern, "out", "preset 17 does not exist"},
      {{15}, ex::ExportFormat::kAvi, ex::kDefaultNamePattern, "out", "preset 15 (H.264 HD) is not written as avi"},
      {{13}, ex::ExportFormat::kMkv, "{loop}.mp4", "out", "must end in .mkv, not .mp4"},
      {{13}, ex::ExportFormat::kPng, "{loop}.lqf", ".", "a.lqf is one of the loops"},
  };
  for (const Case& c : cases) {
    request.presets = c.presets;
    request.format = c.format;
    request.pattern = c.pattern;
    request.out_dir = (dir / c.out_dir).string();
    EXPECT_FALSE(ex::PlanBatch(request, &why)) << c.pattern;
    EXPECT_NE(why.find(c.message), std::string::npos) << why;
  }
  fs::remove_all(dir);
}

TEST(ExportBatchShard, EveryJobInOneShardOfAboutEqualWork) {
  std::vector<ex::BatchJob> jobs;
  for (int i = 0; i < 37; ++i) {
    ex::BatchJob job;
    job.out = "job" + std::to_string(i);
    job.cost = (i * 7919) % 101 * 1000 + (i % 3 == 0 ? 0 : 50);  // some cost nothing
    jobs.push_back(job);
  }
  const int64_t largest = 101 * 1000;
  for (int n = 1; n <= 6; ++n) {
    std::set<std::string> seen;
    int64_t least = INT64_MAX, most = 0;
    for (int k = 0; k < n; ++k) {
      const auto shard = ex::ShardJobs(jobs, {k, n});
      EXPECT_EQ(shard, ex::ShardJobs(jobs, {k, n}));  // the same split every time
      int64_t load = 0;
      for (const auto& job : shard) {
        EXPECT_TRUE(seen.insert(job.out).second) << job.out << " in two shards";
        load += job.cost;
      }
      least = std::min(least, load);
      most = std::max(most, load);
    }
    EXPECT_EQ(seen.size(), jobs.size()) << n << " shards";
    EXPECT_LE(most - least, largest) << n << " shards";
  }

  std::string why;
  EXPECT_TRUE(ex::ParseShard("3/4", &why));
  for (const char* bad : {"4/4", "0/0", "1", "-1/2", "1/2/3", "a/2", ""}) {
    EXPECT_FALSE(ex::ParseShard(bad, &why)) << bad;
    EXPECT_NE(why.find("--shard wants K/N"), std::string::npos);
  }
}

TEST(ExportBatchList, ShellWordsComeBackAsTheyWere) {
  for (const std::string word : {"plain/path-1.lqf", "two words", "it's", "$HOME `id` \"q\" \\ *?[a]", "-", "", "é"}) {
    const std::string quoted = ex::ShellQuote(word);
    EXPECT_EQ(RunCommand("sh -c 'printf %s \"$1\"' sh " + quoted), word) << quoted;
  }
  EXPECT_EQ(ex::ShellQuote("a/b_c.mkv"), "a/b_c.mkv");
  EXPECT_TRUE(ex::HasControlCharacter("a\nb"));
  EXPECT_FALSE(ex::HasControlCharacter("a b\xc3\xa9"));
}

// ---- The program --------------------------------------------------------------------------------

struct CliRun {
  int code;
  std::string out, err;
};

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A library beside the test: the build's pictures, models and particles, and eight of the bundled
// loops with their keys squeezed into six frames, so a batch of them is quick and still draws
// text, echoes, particles, photos and models.
class ExportBatchCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = fs::temp_directory_path() / ("vl_batch_cli_" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "lib" / "Sequences");
    for (const auto& e : fs::directory_iterator(VL_BIN_DIR))
      if (e.is_directory() && e.path().filename() != "Sequences")
        fs::create_directory_symlink(e.path(), root_ / "lib" / e.path().filename());
    const fs::path sources = fs::path(VL_TEST_DATA) / ".." / ".." / "res" / "loops";
    for (const char* name : {"default", "embers", "photos", "model_trio", "glass", "fountain", "carousel", "tunnel"}) {
      std::string text = Slurp(sources / (std::string(name) + ".txt"));
      const std::regex key(R"(^frame = (\d+))", std::regex::multiline);
      int last = 0;
      for (std::sregex_iterator it(text.begin(), text.end(), key), end; it != end; ++it)
        last = std::max(last, std::stoi((*it)[1]));
      std::string squeezed;
      int previous = -1;
      size_t from = 0;
      for (std::sregex_iterator it(text.begin(), text.end(), key), end; it != end; ++it) {
        const int frame = std::max(previous + 1, (std::stoi((*it)[1]) * 6 + last / 2) / last);
        squeezed += text.substr(from, static_cast<size_t>(it->position()) - from) + "frame = " + std::to_string(frame);
        from = static_cast<size_t>(it->position() + it->length());
        previous = frame;
      }
      squeezed += text.substr(from);
      const fs::path source = root_ / (std::string(name) + ".txt");
      std::ofstream(source) << squeezed;
      const CliRun compiled = Shell(Cli() + " compile " + Quoted(source.string()) + " " +
                                    Quoted((root_ / "lib" / "Sequences" / (std::string(name) + ".lqf")).string()));
      ASSERT_EQ(compiled.code, 0) << name << "\n" << compiled.err;
      ASSERT_EQ(compiled.err, "") << name;
    }
    // The reference: the whole batch in one process.
    reference_ = new CliRun(Export("--out-dir one"));
  }
  static void TearDownTestSuite() {
    delete reference_;
    reference_ = nullptr;
    fs::remove_all(root_);
  }

  static std::string Cli() {
    return std::string(VL_BIN_DIR) + "/vantaloop-cli --library " + Quoted((root_ / "lib").string());
  }
  static constexpr const char* kBatch = " export --all --preset 13,12 --format mkv ";

  // Runs a shell command line in the test's folder, its output in files.
  static CliRun Shell(const std::string& command) {
    const fs::path out = root_ / "stdout", err = root_ / "stderr";
    const int status = std::system(("cd " + Quoted(root_.string()) + " && { " + command + " ; } >" +
                                    Quoted(out.string()) + " 2>" + Quoted(err.string()))
                                       .c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
  }
  static CliRun Export(const std::string& args) { return Shell(Cli() + kBatch + args); }

  // name -> bytes of every finished output in `dir`; temporaries are listed under their names.
  static std::map<std::string, std::string> Outputs(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(root_ / dir))
      files[e.path().filename().string()] = e.is_regular_file() ? Slurp(e.path()) : "(folder)";
    return files;
  }

  void ExpectSameAsReference(const std::string& dir) {
    ASSERT_EQ(reference_->code, 0) << reference_->err;
    const auto want = Outputs("one"), got = Outputs(dir);
    ASSERT_EQ(want.size(), 16u);
    ASSERT_EQ(got.size(), want.size());
    for (const auto& [name, bytes] : want) {
      ASSERT_TRUE(got.count(name)) << name << " missing in " << dir;
      EXPECT_TRUE(got.at(name) == bytes) << name << " differs in " << dir;
    }
  }

  static fs::path root_;
  static CliRun* reference_;
};
fs::path ExportBatchCli::root_;
CliRun* ExportBatchCli::reference_ = nullptr;

TEST_F(ExportBatchCli, OneProcessDoesEveryJobOnceAndSkipsThemAfter) {
  ASSERT_EQ(reference_->code, 0) << reference_->err;
  EXPECT_NE(reference_->out.find("one/embers_13.mkv: 6 frames (6 a cycle) of 176 x 28"), std::string::npos)
      << reference_->out;
  EXPECT_NE(reference_->out.find("export: 16 done, 0 skipped (there already), 0 failed\n"), std::string::npos)
      << reference_->out;
  auto probe = vl::test::Probe((root_ / "one" / "tunnel_12.mkv").string());
  EXPECT_EQ(probe["codec_name"], "ffv1");
  EXPECT_EQ(probe["nb_read_frames"], "6");
  EXPECT_EQ(probe["width"], "352");

  const CliRun again = Export("--out-dir one");
  EXPECT_EQ(again.code, 0) << again.err;
  EXPECT_NE(again.out.find("export: 0 done, 16 skipped (there already), 0 failed\n"), std::string::npos) << again.out;
  const CliRun listed = Export("--out-dir one --list");
  EXPECT_EQ(listed.code, 0);
  EXPECT_EQ(listed.out, "");
  EXPECT_NE(listed.err.find("16 of 16 jobs are done already"), std::string::npos) << listed.err;
}

TEST_F(ExportBatchCli, GnuParallelOverTheListGivesTheSameFiles) {
  if (RunCommand("command -v parallel").empty()) GTEST_SKIP() << "SKIPPED: GNU parallel is not installed";
  const CliRun list = Export("--out-dir par --list --fast --no-preroll");
  ASSERT_EQ(list.code, 0) << list.err;
  // One line a job, naming the program, the library and both files in full, with the shared options.
  std::istringstream lines(list.out);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    const std::string head = std::string(VL_BIN_DIR) + "/vantaloop-cli --library " + (root_ / "lib").string() +
                             " export " + (root_ / "lib" / "Sequences").string() + "/";
    EXPECT_EQ(line.rfind(head, 0), 0u) << line;
    EXPECT_NE(line.find(" --preset 1"), std::string::npos) << line;
    EXPECT_NE(line.find(" --format mkv --no-preroll --fast"), std::string::npos) << line;
  }
  EXPECT_EQ(count, 16);

  // Without --fast --no-preroll: the jobs of the reference.
  const CliRun run = Shell(Cli() + kBatch + "--out-dir par --list | parallel -j2");
  ASSERT_EQ(run.code, 0) << run.err;
  ExpectSameAsReference("par");
}

TEST_F(ExportBatchCli, TwoShardsTogetherGiveTheSameFiles) {
  const CliRun run = Shell(Cli() + kBatch + "--out-dir shards --shard 0/2 > shard0.txt & " + Cli() + kBatch +
                           "--out-dir shards --shard 1/2 > shard1.txt; first=$?; wait $!; second=$?; cat shard0.txt "
                           "shard1.txt; [ $first = 0 ] && [ $second = 0 ]");
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  // Each did its own share: nothing skipped, together every job.
  const std::regex summary(R"(export: (\d+) done, 0 skipped \(there already\), 0 failed in shard (\d)/2)");
  int total = 0, shards = 0;
  for (std::sregex_iterator it(run.out.begin(), run.out.end(), summary), end; it != end; ++it) {
    const int done = std::stoi((*it)[1]);
    EXPECT_GE(done, 6) << "unbalanced: " << run.out;
    total += done;
    ++shards;
  }
  EXPECT_EQ(shards, 2) << run.out;
  EXPECT_EQ(total, 16);
  ExpectSameAsReference("shards");
}

TEST_F(ExportBatchCli, ASlurmJobArrayGivesTheSameFiles) {
  // A one-node cluster of the test's own, when Slurm and munge are installed.
  const fs::path cluster = root_ / "slurm";
  const std::string script = (fs::path(VL_TEST_DATA) / ".." / "platform" / "export" / "slurm_cluster.sh").string();
  const CliRun started = Shell("bash " + Quoted(script) + " start " + Quoted(cluster.string()));
  struct Stop {
    std::string command;
    ~Stop() { std::system(command.c_str()); }
  } stop{"bash " + Quoted(script) + " stop " + Quoted(cluster.string())};
  if (started.code == 77) GTEST_SKIP() << "SKIPPED: " << started.err;
  ASSERT_EQ(started.code, 0) << started.err;
  const std::string conf = started.out.substr(0, started.out.find('\n'));

  // As the README's recipe: one array task a shard, the task's number naming it.
  fs::create_directories(root_ / "array");
  std::ofstream(root_ / "job.sh") << "#!/bin/sh\n"
                                  << Cli() << kBatch << "--out-dir " << Quoted((root_ / "array").string())
                                  << " --shard $SLURM_ARRAY_TASK_ID/3; echo exit $?\n";
  // sbatch --wait polls for the end at ever longer intervals; the queue says it sooner.
  const CliRun run = Shell("export SLURM_CONF=" + Quoted(conf) + "; id=$(sbatch --parsable --array=0-2 --output=" +
                           Quoted((cluster / "task-%a.txt").string()) +
                           " job.sh) || exit 1; for i in $(seq 3000); do [ -z \"$(squeue -h -j $id)\" ] && exit 0; "
                           "sleep 0.2; done; scancel $id; exit 1");
  int total = 0;
  for (int k = 0; k < 3; ++k) {
    const std::string log = Slurp(cluster / ("task-" + std::to_string(k) + ".txt"));
    const std::regex summary("export: (\\d+) done, 0 skipped \\(there already\\), 0 failed in shard " +
                             std::to_string(k) + "/3");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, summary)) << log;
    EXPECT_NE(log.find("\nexit 0\n"), std::string::npos) << log;
    total += std::stoi(m[1]);
  }
  EXPECT_EQ(total, 16);
  ExpectSameAsReference("array");
}

struct Stamp {
  ino_t inode;
  int64_t mtime_ns;
  bool operator==(const Stamp&) const = default;
};
Stamp StampOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return {st.st_ino, int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

TEST_F(ExportBatchCli, AKilledBatchFinishesWithoutRedoingFiles) {
  const fs::path out = root_ / "resume";
  fs::create_directories(out);
  auto finished = [&] {
    std::map<std::string, Stamp> stamps;
    for (const auto& e : fs::directory_iterator(out))
      if (e.path().filename().string()[0] != '.') stamps[e.path().filename().string()] = StampOf(e.path());
    return stamps;
  };
  // Starts the batch and stops it with `signal` once `at_least` outputs are in place.
  auto start_and_stop = [&](int signal, size_t at_least) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      const std::string command = "exec " + Cli() + kBatch + "--out-dir " + Quoted(out.string()) + " >" +
                                  Quoted((root_ / "killed.out").string()) + " 2>/dev/null";
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (finished().size() < at_least && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(pid, signal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
  };

  // Killed outright: whatever was in place stays; its half-written temporary may be left over.
  int status = start_and_stop(SIGKILL, 3);
  ASSERT_TRUE(WIFSIGNALED(status));
  const auto first = finished();
  ASSERT_GE(first.size(), 3u);
  ASSERT_LT(first.size(), 16u) << "the batch ended before it was killed";

  // Asked to stop (as a job scheduler cancelling it does): it stops between frames, says so, fails,
  // and leaves nothing half-written of its own.
  std::set<std::string> leftovers;
  for (const auto& e : fs::directory_iterator(out))
    if (e.path().filename().string()[0] == '.') leftovers.insert(e.path().filename().string());
  status = start_and_stop(SIGTERM, first.size() + 2);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  const std::string said = Slurp(root_ / "killed.out");
  EXPECT_NE(said.find(std::to_string(first.size()) + " skipped (there already), 0 failed; interrupted, "),
            std::string::npos)
      << said;
  for (const auto& e : fs::directory_iterator(out)) {
    if (e.path().filename().string()[0] == '.') {
      EXPECT_TRUE(leftovers.count(e.path().filename().string())) << e.path();
    }
  }

  // CliRun to the end: the files of the earlier runs are the same files, untouched.
  const auto second = finished();
  const CliRun last = Export("--out-dir resume");
  ASSERT_EQ(last.code, 0) << last.err;
  EXPECT_NE(last.out.find(std::to_string(16 - second.size()) + " done, " + std::to_string(second.size()) +
                          " skipped (there already), 0 failed\n"),
            std::string::npos)
      << last.out;
  for (const auto& [name, stamp] : second) EXPECT_TRUE(StampOf(out / name) == stamp) << name << " was rewritten";
  for (const auto& name : leftovers) fs::remove(out / name);
  ExpectSameAsReference("resume");
}

TEST_F(ExportBatchCli, PngFoldersAndFailuresInTheSummary) {
  const fs::path out = root_ / "mixed";
  fs::create_directories(out);
  ASSERT_EQ(::mkfifo((out / "default_13.mkv").c_str(), 0600), 0);  // in the way, never replaced
  const std::string loops = Quoted((root_ / "lib" / "Sequences" / "default.lqf").string()) + " " +
                            Quoted((root_ / "lib" / "Sequences" / "embers.lqf").string()) + " gone.lqf";
  CliRun run = Shell(Cli() + " export " + loops + " --preset 13 --format mkv --out-dir mixed");
  EXPECT_EQ(run.code, 1) << run.err;
  EXPECT_NE(run.out.find("export: 1 done, 0 skipped (there already), 2 failed\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  failed: " + (out / "default_13.mkv").string() + " (default.lqf at preset 13): " +
                         (out / "default_13.mkv").string() + ": not a regular file but a FIFO; it is left as it is\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("(gone.lqf at preset 13): " + (root_ / "gone.lqf").string() + ": no such file\n"),
            std::string::npos)
      << run.out;
  EXPECT_TRUE(fs::is_fifo(out / "default_13.mkv"));

  // A PNG sequence per job, in a folder without extension, the same frames as the single export.
  run = Shell(Cli() + " export " + loops + " --preset 13 --format png --out-dir mixed");
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.out.find("export: 2 done, 0 skipped (there already), 1 failed\n"), std::string::npos) << run.out;
  ASSERT_EQ(Shell(Cli() + " export " + Quoted((root_ / "lib" / "Sequences" / "embers.lqf").string()) +
                  " single --preset 13 --format png")
                .code,
            0);
  for (int i = 0; i < 6; ++i) {
    const std::string frame = "frame_0000" + std::to_string(i) + ".png";
    EXPECT_EQ(Slurp(out / "embers_13" / frame), Slurp(root_ / "single" / frame)) << frame;
  }
  EXPECT_FALSE(fs::exists(out / "embers_13" / "frame_00006.png"));
}

TEST_F(ExportBatchCli, NamesFromFilesReachTheTerminalEscaped) {
  // A loop whose name carries a line break and an escape sequence: a list line of its own cannot
  // hold it, so it is refused there; the batch writes it and says so escaped.
  const fs::path folder = root_ / "odd";
  fs::create_directories(folder);
  const std::string odd = "two\nlines\x1b[31m";
  fs::copy_file(root_ / "lib" / "Sequences" / "embers.lqf", folder / (odd + ".lqf"));
  fs::copy_file(root_ / "lib" / "Sequences" / "embers.lqf", folder / "plain.lqf");
  const std::string loops = Quoted((folder / (odd + ".lqf")).string()) + " " + Quoted((folder / "plain.lqf").string());
  CliRun run = Shell(Cli() + " export " + loops + " --preset 13 --format mkv --out-dir odd/out --list");
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
  EXPECT_NE(run.out.find("plain_13.mkv --preset 13 --format mkv\n"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("two\\x0alines\\x1b[31m.lqf: cannot be listed: its name holds control characters"),
            std::string::npos)
      << run.err;

  run = Shell(Cli() + " export " + loops + " --preset 13 --format mkv --out-dir odd/out");
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(fs::is_regular_file(folder / "out" / (odd + "_13.mkv")));
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << run.out;
  EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("two\\x0alines\\x1b[31m_13.mkv: 6 frames"), std::string::npos) << run.out;
}

TEST_F(ExportBatchCli, AllIsTheLibraryThenTheUsersOwnLoops) {
  const fs::path mine = root_ / "xdg" / "Vantaloop" / "Sequences";
  fs::create_directories(mine);
  fs::copy_file(root_ / "lib" / "Sequences" / "glass.lqf", mine / "mine.lqf");
  const std::string env = "XDG_DATA_HOME=" + Quoted((root_ / "xdg").string()) + " ";
  CliRun run = Shell(env + Cli() + " export --all --preset 13 --out-dir user --list");
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 9) << run.out;
  EXPECT_NE(run.out.find(" " + (mine / "mine.lqf").string() + " " + (root_ / "user" / "mine_13.mpg").string() +
                         " --preset 13\n"),
            std::string::npos)
      << run.out;
  // The user's loops come after the bundled ones.
  EXPECT_NE(run.out.rfind('\n', run.out.size() - 2), std::string::npos);
  EXPECT_NE(run.out.substr(run.out.rfind('\n', run.out.size() - 2)).find("mine.lqf"), std::string::npos) << run.out;

  // The user's loop of a bundled loop's name would overwrite its file.
  fs::copy_file(mine / "mine.lqf", mine / "glass.lqf");
  run = Shell(env + Cli() + " export --all --preset 13 --out-dir user --list");
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("glass_13.mpg would be written twice"), std::string::npos) << run.err;
}

TEST_F(ExportBatchCli, CommandLinesThatMakeNoBatchAreRefused) {
  const std::string loop = Quoted((root_ / "lib" / "Sequences" / "default.lqf").string());
  struct Case {
    std::string args, message;
  };
  const Case cases[] = {
      {loop + " x.mkv y.mkv --preset 13 --format mkv", "several loops with --out-dir DIR; y.mkv was not expected"},
      {loop + " x.mkv --preset 13,12 --format mkv", "several presets need --out-dir DIR"},
      {loop + " --preset 13", "OUT is required"},
      {loop + " x.mkv --preset 1,x", "--preset wants a preset number 0-16"},
      {loop + " x.mkv --preset -1", "preset -1 does not exist (0 to 16)"},
      {loop + " x.mkv --preset 99999", "preset 99999 does not exist (0 to 16)"},
      {loop + " --preset 13 --all --list", "a batch needs --out-dir DIR"},
      {"--preset 13 --out-dir o", "no loops given (LOOP... or --all)"},
      {"--all --preset 13 --out-dir o --shard 2/2", "--shard wants K/N"},
      {"--all --preset 13,12 --out-dir o --name '{loop}.{ext}'", "would be written twice"},
      {"--all --preset 15 --format avi --out-dir o", "preset 15 (H.264 HD) is not written as avi"},
  };
  for (const Case& c : cases) {
    const CliRun r = Shell(Cli() + " export " + c.args);
    EXPECT_EQ(r.code, 2) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_EQ(r.out, "") << c.args;
  }
  EXPECT_FALSE(fs::exists(root_ / "o"));
}

}  // namespace
