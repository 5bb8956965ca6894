// SPDX-License-Identifier: MIT
// The batch run end to end on generated JPEGs: enumeration, disk check,
// copy mode, screening, labelled runs, stop requests and failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>

#include "core/batch/batch_processor.h"
#include "core/jpeg/previews.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

// A gradient that differs with `seed`; low quality keeps large ones quick.
void makeJPEG(const fs::path& path, int width, int height, int seed = 0) {
  RGBImage image{width, height, std::vector<std::uint8_t>(std::size_t(width) * height * 3)};
  for (std::size_t i = 0; i < image.pixels.size(); ++i) {
    image.pixels[i] = static_cast<std::uint8_t>(i / 3 % width + i / 3 / width * 3 + seed * (i % 3));
  }
  fs::create_directories(path.parent_path());
  writePreviewJPEG(image, path, width > 1000 ? 10 : 90);
}

// Every regular file under `folder`, relative, hidden ones included.
std::set<std::string> treeOf(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    if (e.is_regular_file()) names.insert(fs::relative(e.path(), folder).string());
  }
  return names;
}

class BatchRunTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir / "in"); }
  BatchConfiguration config(ProcessingMode mode = ProcessingMode::copy) const {
    BatchConfiguration c(dir / "in", dir / "out");
    c.mode = mode;
    c.previewCount = 2;
    return c;
  }
  RunSummary run(const BatchConfiguration& c,
                 std::shared_ptr<CancellationToken> token = makeCancellationToken(),
                 BatchProcessor::ProgressCallback progress = {},
                 std::optional<std::uint64_t> free = 1ULL << 50) const {
    const BatchProcessor::Environment environment{[free](const fs::path&) { return free; }};
    return BatchProcessor::run(c, std::move(token), std::move(progress), environment);
  }
  std::string runError(const BatchConfiguration& c, std::optional<std::uint64_t> free = 1ULL << 50,
                       BatchProcessor::ProgressCallback progress = {}) const try {
    run(c, makeCancellationToken(), std::move(progress), free);
    return "";
  } catch (const std::exception& error) {
    return error.what();
  }
  testing::TempDir dir;
};

TEST_F(BatchRunTest, EnumerationFindsJPEGsInByteOrderAndSkipsHiddenAndLinkedEntries) {
  const fs::path in = dir / "in";
  EXPECT_EQ(runError(config()), "输入文件夹中没有 JPG/JPEG 文件。");
  for (const char* name :
       {"b.JPG", "a.jpeg", "c.JpEg", "Z.jpg", "sub/e.jpg", "sub/deeper/f.jpg", "sub/locked/g.jpg",
        "d.jpe", "g.png", ".hidden.jpg", ".cache/h.jpg", "jpg"}) {
    fs::create_directories((in / name).parent_path());
    writeFile(in / name, "x");
  }
  fs::create_symlink(in / "a.jpeg", in / "link.jpg");
  fs::create_directory_symlink(in / "sub", in / "linked-folder");
  EXPECT_EQ(BatchProcessor::enumerate(in, 5),
            (std::vector<fs::path>{in / "Z.jpg", in / "a.jpeg", in / "b.JPG", in / "c.JpEg",
                                   in / "sub/deeper/f.jpg"}));

  // A folder that cannot be read, or listed but not entered, ends the walk
  // naming it: its photos are never silently left out (checked unprivileged:
  // root reads all).
  fs::permissions(dir.path(), fs::perms::all);
  for (const auto& [perms, named] : {std::pair(fs::perms::none, "sub/locked: "),
                                     std::pair(fs::perms::owner_read | fs::perms::others_read,
                                               "sub/locked/g.jpg: Permission denied")}) {
    fs::permissions(in / "sub" / "locked", perms);
    EXPECT_EXIT(
        {
          if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) std::exit(2);
          std::cerr << runError(config());
          std::exit(1);
        },
        ::testing::ExitedWithCode(1), (in / named).string());
    fs::permissions(in / "sub" / "locked", fs::perms::owner_all);
  }
}

// 115 % of the photos plus 2 GiB, in any locale; unreported free space counts as none.
TEST_F(BatchRunTest, DiskCheckPassesAtExactlyTheRequiredSpace) {
  writeFile(dir / "in" / "a.jpg", std::string(1000, 'x'));
  writeFile(dir / "in" / "b.jpg", std::string(2000, 'x'));
  BatchConfiguration c = config();
  c.limit = 1;  // only a.jpg counts
  const std::uint64_t required = 1150 + 2'147'483'648;
  const std::string message =
      "输出盘剩余 2.1 GB；本批保守预计需要 2.1 GB（含 2 GiB 余量）。请更换输出盘或缩小测试数量。";
  EXPECT_EQ(runError(c, required - 1), message);
  const std::string locales = (dir / "locales").string();
  if (std::system(
          ("localedef -i de_DE -f UTF-8 " + locales + "/de_DE.UTF-8 2>/dev/null").c_str()) == 0) {
    setenv("LOCPATH", locales.c_str(), 1);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    EXPECT_EQ(runError(c, required - 1), message);
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
  }
  EXPECT_TRUE(runError(c, std::nullopt).starts_with("输出盘剩余 0.0 GB"));
  EXPECT_TRUE(fs::is_empty(dir / "out"));
  // At exactly the required space the run starts, and its one file fails.
  const RunSummary s = run(c, makeCancellationToken(), {}, required);
  EXPECT_EQ(s.counts.failed, 1);
  EXPECT_FALSE(s.firstOutputSeconds);
  EXPECT_TRUE(fs::is_empty(s.runDirectory / "photos"));
}

TEST_F(BatchRunTest, CopyModeWritesIdenticalBytesAndMirrorsFolders) {
  makeJPEG(dir / "in" / "one.jpg", 64, 48, 1);
  makeJPEG(dir / "in" / "A" / "B" / "two.JPG", 40, 40, 2);
  writeFile(dir / "in" / "broken.jpg", "\x89PNG\r\n\x1a\n not a jpeg");
  const RunSummary s = run(config());
  EXPECT_EQ(s.counts.unchanged, 2);  // small photos are not screened in copy mode
  ASSERT_EQ(s.files.size(), 3u);
  EXPECT_EQ(s.files[0].relativePath, "A/B/two.JPG");
  EXPECT_TRUE(s.files[1].error);
  EXPECT_EQ(s.files[2].decision->reason, "原样复制基线（未运行 AI）");
  const fs::path photos = s.runDirectory / "photos";
  EXPECT_EQ(treeOf(photos), (std::set<std::string>{"A/B/two.JPG", "one.jpg"}));
  EXPECT_EQ(readFile(photos / "one.jpg"), readFile(dir / "in" / "one.jpg"));
  EXPECT_EQ(readFile(photos / "A/B/two.JPG"), readFile(dir / "in" / "A" / "B" / "two.JPG"));
}

// The analyzer's verdict files a photo (review/, filtered/ or photos/) with
// its reason; the 18 MP floor is inclusive: 6000 × 3000 passes, 5999 × 3000
// does not. Race numbers become keywords only when asked and only in
// photos/: an original set aside is written exactly as read.
TEST_F(BatchRunTest, ScreeningFilesByVerdictAndPixelFloorAndTagsOnlyDeliveredPhotos) {
  struct Analyzer : Worker {
    SharpnessAssessment verdict = SharpnessAssessment::review("分析理由");
    std::vector<Person> people{{{0.45, 0.2, 0.1, 0.6}, 0.9}};
    std::vector<Person> analyze(const ImageSource&, const JPEGInfo&, int, const BatchConfiguration&,
                                FileResult& result) override {
      result.sharpness = verdict;
      result.bibs = {Bib{"951", 0.97, {0.4, 0.4, 0.05, 0.03}, 0}};
      return people;
    }
  } analyzer;
  Worker plain;
  makeJPEG(dir / "in" / "6000.jpg", 6000, 3000);
  makeJPEG(dir / "in" / "5999.jpg", 5999, 3000);
  using enum SharpnessVerdict;
  const struct {
    const char* file;
    std::optional<SharpnessVerdict> verdict;  // none: fixed mode, no analyzer
    bool keywords;
    std::string folder;
    std::optional<std::string> filteredReason, reviewReason;
  } rows[] = {
      {"6000.jpg", review, true, "review", {}, "分析理由"},
      {"6000.jpg", blurred, true, "filtered", "分析理由", {}},
      {"6000.jpg", soft, true, "photos", {}, {}},
      {"6000.jpg", sharp, false, "photos", {}, {}},
      {"5999.jpg", {}, true, "filtered", "原片不足1800万像素，不放大，单独存放", {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file + (" → " + row.folder));
    const fs::path batch = dir / "out" / std::to_string(&row - rows);
    fs::create_directories(batch);
    analyzer.verdict.verdict = row.verdict.value_or(review);
    BatchConfiguration c = config(row.verdict ? ProcessingMode::automatic : ProcessingMode::fixed);
    c.writeBibKeywords = row.keywords;
    const FileResult r = BatchProcessor::process(
        0, dir / "in" / row.file, dir / "in", batch / "photos", c, row.verdict ? analyzer : plain);
    EXPECT_EQ(r.filteredReason, row.filteredReason);
    EXPECT_EQ(r.reviewReason, row.reviewReason);
    ASSERT_EQ(treeOf(batch), std::set<std::string>{row.folder + "/" + row.file});
    EXPECT_EQ(r.decision->people, row.verdict ? analyzer.people : std::vector<Person>{});
    const std::string written = readFile(batch / row.folder / row.file);
    EXPECT_EQ(written.find("bib:951") != std::string::npos, row.keywords && row.folder == "photos");
    if (row.folder != "photos") {  // an original set aside is not touched
      EXPECT_EQ(written, readFile(dir / "in" / row.file));
    }
    EXPECT_EQ(r.outputBytes, static_cast<std::int64_t>(written.size()));
  }
}

// Labelled runs are numbered per source, the canonical input folder.
TEST_F(BatchRunTest, LabelledRunsNumberEachInputFolder) {
  makeJPEG(dir / "in" / "a.jpg", 16, 16);
  makeJPEG(dir / "in2" / "a.jpg", 16, 16);
  fs::create_directory_symlink(dir / "in", dir / "link");
  BatchConfiguration c = config();
  c.eventName = "城市半程";
  c.eventDate = "20260405";
  for (const auto& [input, card] : std::vector<std::pair<const char*, const char*>>{
           {"in", "卡1"}, {"in2", "卡2"}, {"in", "卡1-重跑2"}, {"link", "卡1-重跑3"}}) {
    c.input = dir / input;
    EXPECT_EQ(run(c).runDirectory.filename(), "城市半程-20260405-" + std::string(card));
  }
}

// A stop before the workers start processes nothing; one during processing
// lets the file in hand finish. Either way the reports are written.
TEST_F(BatchRunTest, StopRequests) {
  for (int i = 0; i < 4; ++i) makeJPEG(dir / "in" / ("p" + std::to_string(i) + ".jpg"), 32, 32, i);
  BatchConfiguration c = config();
  c.workers = 1;
  auto token = makeCancellationToken();
  token->cancel();
  const RunSummary before = run(c, token);
  EXPECT_EQ(before.processed, 0);
  EXPECT_TRUE(fs::exists(before.runDirectory / "report.html"));
  token = makeCancellationToken();
  const RunSummary during = run(c, token, [&](const BatchProgress&) { token->cancel(); });
  EXPECT_TRUE(during.cancelled);
  EXPECT_EQ(during.processed, 1);
  EXPECT_TRUE(fs::exists(during.runDirectory / "photos" / "p0.jpg"));
  EXPECT_TRUE(fs::exists(during.runDirectory / "summary.json"));
}

TEST_F(BatchRunTest, AnExistingDestinationIsNeverOverwritten) {
  makeJPEG(dir / "in" / "a.jpg", 32, 32);
  const fs::path photos = dir / "batch" / "photos";
  fs::create_directories(photos);
  writeFile(photos / "a.jpg", "already here");
  Worker worker;
  const FileResult r =
      BatchProcessor::process(0, dir / "in" / "a.jpg", dir / "in", photos, config(), worker);
  EXPECT_NE(r.error.value_or("").find("File exists"), std::string::npos);
  EXPECT_EQ(readFile(photos / "a.jpg"), "already here");
  EXPECT_EQ(treeOf(photos), std::set<std::string>{"a.jpg"});  // the temporary file is gone
}

// A batch directory that disappears during the run (an output disk pulled,
// its mount point left empty) is not made again: the later photos fail, and
// the run ends saying the batch is gone rather than writing reports into a
// new, empty directory of the same name.
TEST_F(BatchRunTest, AVanishedBatchDirectoryIsNotMadeAgain) {
  makeJPEG(dir / "in" / "a.jpg", 32, 32);
  makeJPEG(dir / "in" / "sub" / "b.jpg", 32, 32, 1);
  BatchConfiguration c = config();
  c.workers = 1;
  const std::string message = runError(c, 1ULL << 50, [&](const BatchProgress& p) {
    if (p.completed == 1) fs::remove_all(dir / "out");
  });
  EXPECT_NE(message.find("已不存在"), std::string::npos) << message;
  EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST_F(BatchRunTest, EightWorkersGiveTheSameResultsAsOne) {
  for (int i = 0; i < 30; ++i) {
    makeJPEG(dir / "in" / ("f" + std::to_string(i % 3)) / ("p" + std::to_string(i) + ".jpg"), 48,
             32, i);
  }
  writeFile(dir / "in" / "f1" / "bad.jpg", "bad");
  const auto results = [&](int workers) {
    BatchConfiguration c = config(ProcessingMode::fixed);
    c.workers = workers;
    RunSummary s = run(c);
    for (FileResult& r : s.files) r.timings = {}, r.elapsedSeconds = 0;
    return std::pair(s.counts, s.files);
  };
  EXPECT_EQ(results(1), results(8));
}

}  // namespace
}  // namespace kestrel
