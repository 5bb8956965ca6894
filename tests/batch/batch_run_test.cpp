// SPDX-License-Identifier: MIT
// The batch run end to end on small generated JPEGs: enumeration, disk
// check, copy and fixed modes, stop requests, failures and the output tree.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "core/base/crop_error.h"
#include "core/batch/batch_processor.h"
#include "core/jpeg/previews.h"
#include "core/run/record_json.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr std::uint64_t kPlentyOfSpace = std::uint64_t{1} << 50;

void makeJPEG(const fs::path& path, int width, int height, int seed = 0) {
  RGBImage image{width, height,
                 std::vector<std::uint8_t>(static_cast<std::size_t>(width * height * 3))};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &image.pixels[static_cast<std::size_t>((y * width + x) * 3)];
      p[0] = static_cast<std::uint8_t>(x + seed);
      p[1] = static_cast<std::uint8_t>(y * 3);
      p[2] = static_cast<std::uint8_t>((x ^ y) + seed * 7);
    }
  }
  fs::create_directories(path.parent_path());
  writePreviewJPEG(image, path, 90);
}

BatchProcessor::Environment freeSpace(std::uint64_t bytes) {
  return {[bytes](const fs::path&) { return std::optional<std::uint64_t>(bytes); }};
}

std::string runError(const BatchConfiguration& config, const BatchProcessor::Environment& env) {
  try {
    BatchProcessor::run(config, makeCancellationToken(), {}, env);
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

std::vector<std::string> relativePaths(const std::vector<fs::path>& files, const fs::path& root) {
  std::vector<std::string> out;
  for (const fs::path& f : files) out.push_back(fs::relative(f, root).string());
  return out;
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
                 BatchProcessor::ProgressCallback progress = {}) const {
    return BatchProcessor::run(c, std::move(token), std::move(progress), freeSpace(kPlentyOfSpace));
  }
  TempDir dir;
};

TEST_F(BatchRunTest, EnumerationFindsJPEGsInByteOrderAndSkipsHiddenAndLinkedEntries) {
  const fs::path in = dir / "in";
  for (const char* name : {"b.JPG", "a.jpeg", "c.JpEg", "Z.jpg", "sub/e.jpg", "sub/deeper/f.jpg"}) {
    fs::create_directories((in / name).parent_path());
    writeFile(in / name, "x");
  }
  for (const char* name : {"d.jpe", "g.png", ".hidden.jpg", ".cache/h.jpg", "jpg"}) {
    fs::create_directories((in / name).parent_path());
    writeFile(in / name, "x");
  }
  fs::create_symlink(in / "a.jpeg", in / "link.jpg");
  fs::create_directory_symlink(in / "sub", in / "linked-folder");
  const std::vector<fs::path> files = BatchProcessor::enumerate(in, std::nullopt);
  EXPECT_EQ(relativePaths(files, in),
            (std::vector<std::string>{"Z.jpg", "a.jpeg", "b.JPG", "c.JpEg", "sub/deeper/f.jpg",
                                      "sub/e.jpg"}));
  EXPECT_EQ(relativePaths(BatchProcessor::enumerate(in, 2), in),
            (std::vector<std::string>{"Z.jpg", "a.jpeg"}));

  // A subfolder that cannot be read ends the walk with an error naming it
  // (checked as an unprivileged user: root reads any folder).
  fs::create_directories(in / "sub" / "locked");
  fs::permissions(dir.path(), fs::perms::all);
  fs::permissions(in / "sub" / "locked", fs::perms::none);
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) std::exit(2);
        try {
          BatchProcessor::enumerate(in, std::nullopt);
        } catch (const std::exception& error) {
          std::exit(std::string(error.what()).starts_with((in / "sub" / "locked").string() + ":")
                        ? 0
                        : 1);
        }
        std::exit(3);
      },
      ::testing::ExitedWithCode(0), "");
  fs::permissions(in / "sub" / "locked", fs::perms::owner_all);
}

TEST_F(BatchRunTest, NothingToProcessCreatesNothing) {
  fs::create_directories(dir / "in");
  EXPECT_EQ(runError(config(), freeSpace(kPlentyOfSpace)), "输入文件夹中没有 JPG/JPEG 文件。");
  writeFile(dir / "in" / "only.png", "png");
  EXPECT_EQ(runError(config(), freeSpace(kPlentyOfSpace)), "输入文件夹中没有 JPG/JPEG 文件。");
  EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST_F(BatchRunTest, DiskCheckPassesAtExactlyTheRequiredSpace) {
  writeFile(dir / "in" / "a.jpg", std::string(1000, 'x'));
  writeFile(dir / "in" / "b.jpg", std::string(2000, 'x'));
  BatchConfiguration c = config();
  c.limit = 1;  // only a.jpg counts
  const std::uint64_t required = 1150 + 2'147'483'648;
  const std::string message =
      "输出盘剩余 2.1 GB；本批保守预计需要 2.1 GB（含 2 GiB 余量）。请更换输出盘或缩小测试数量。";
  EXPECT_EQ(runError(c, freeSpace(required - 1)), message);
  // The same under a locale with a decimal comma, as a toolkit's setlocale sets one.
  const fs::path locales = dir / "locales";
  fs::create_directories(locales);
  if (std::system(
          ("localedef -i de_DE -f UTF-8 " + (locales / "de_DE.UTF-8").string() + " >/dev/null 2>&1")
              .c_str()) == 0) {
    setenv("LOCPATH", locales.c_str(), 1);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    EXPECT_EQ(runError(c, freeSpace(required - 1)), message);
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
  }
  EXPECT_FALSE(fs::exists(dir / "out" / "photos"));
  EXPECT_EQ(fs::is_directory(dir / "out")
                ? std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator())
                : 0,
            0);
  EXPECT_EQ(runError(c, freeSpace(required)), "");  // the file then fails on its own
  // A file system that reports no free size counts as full.
  EXPECT_TRUE(runError(c, {[](const fs::path&) { return std::optional<std::uint64_t>(); }})
                  .starts_with("输出盘剩余 0.0 GB"));
}

TEST_F(BatchRunTest, CopyModeWritesIdenticalBytesAndMirrorsFolders) {
  makeJPEG(dir / "in" / "one.jpg", 64, 48, 1);
  makeJPEG(dir / "in" / "A" / "B" / "two.JPG", 40, 40, 2);
  writeFile(dir / "in" / "broken.jpg", "\x89PNG\r\n\x1a\n not a jpeg");
  BatchConfiguration c = config();
  const RunSummary s = run(c);

  EXPECT_EQ(s.discovered, 3);
  EXPECT_EQ(s.processed, 3);
  EXPECT_EQ(s.counts.unchanged, 2);
  EXPECT_EQ(s.counts.failed, 1);
  EXPECT_FALSE(s.modelPath);
  ASSERT_EQ(s.files.size(), 3u);
  EXPECT_EQ(s.files[0].relativePath, "A/B/two.JPG");
  EXPECT_EQ(s.files[1].relativePath, "broken.jpg");
  EXPECT_EQ(s.files[2].relativePath, "one.jpg");
  for (std::size_t i = 0; i < s.files.size(); ++i)
    EXPECT_EQ(s.files[i].index, static_cast<std::int64_t>(i));

  const FileResult& ok = s.files[2];
  EXPECT_EQ(ok.status(), FileStatus::unchanged);
  ASSERT_TRUE(ok.decision);
  EXPECT_EQ(ok.decision->reason, "原样复制基线（未运行 AI）");
  EXPECT_FALSE(ok.filteredReason);  // copy mode does not screen small photos
  EXPECT_EQ(ok.timings.thumbnail + ok.timings.inference + ok.timings.sharpness, 0);
  EXPECT_GT(ok.timings.read, 0);
  EXPECT_GT(ok.timings.write, 0);

  const FileResult& bad = s.files[1];
  ASSERT_TRUE(bad.error);
  EXPECT_GT(bad.inputBytes, 0);
  EXPECT_FALSE(bad.info);
  EXPECT_GT(bad.elapsedSeconds, 0);

  const fs::path photos = s.runDirectory / "photos";
  EXPECT_EQ(treeOf(photos), (std::set<std::string>{"A/B/two.JPG", "one.jpg"}));
  EXPECT_EQ(readFile(photos / "one.jpg"), readFile(dir / "in" / "one.jpg"));
  EXPECT_EQ(readFile(photos / "A/B/two.JPG"), readFile(dir / "in" / "A" / "B" / "two.JPG"));
  for (const char* report : {"report.html", "summary.json", "statistics.json", "files.csv"}) {
    EXPECT_TRUE(fs::exists(s.runDirectory / report)) << report;
  }
  const RunSummary reread =
      nlohmann::json::parse(readFile(s.runDirectory / "summary.json")).get<RunSummary>();
  EXPECT_EQ(reread.files, s.files);
  EXPECT_EQ(reread.configuration, c);
}

TEST_F(BatchRunTest, SmallPhotosAreFilteredOutsideCopyMode) {
  makeJPEG(dir / "in" / "small.jpg", 64, 48);
  BatchConfiguration c = config(ProcessingMode::fixed);
  c.minimumPixelCount = 24'999'999;
  const RunSummary s = run(c);
  ASSERT_EQ(s.files.size(), 1u);
  EXPECT_EQ(s.files[0].filteredReason, "原片不足2499万像素，不放大，单独存放");
  EXPECT_EQ(s.files[0].decision->reason, "原图不足最低像素要求，不放大");
  EXPECT_TRUE(fs::exists(s.runDirectory / "filtered" / "small.jpg"));
  EXPECT_EQ(s.counts.filtered, 1);
}

TEST_F(BatchRunTest, StopBeforeTheWorkersStartStillWritesReports) {
  makeJPEG(dir / "in" / "a.jpg", 32, 32);
  const auto token = makeCancellationToken();
  token->cancel();
  const RunSummary s = run(config(), token);
  EXPECT_TRUE(s.cancelled);
  EXPECT_EQ(s.processed, 0);
  EXPECT_EQ(s.discovered, 1);
  EXPECT_EQ(s.p50FileMilliseconds, 0);
  EXPECT_EQ(s.p95FileMilliseconds, 0);
  EXPECT_FALSE(s.firstOutputSeconds);
  EXPECT_TRUE(fs::exists(s.runDirectory / "files.csv"));
  EXPECT_TRUE(fs::exists(s.runDirectory / "report.html"));
}

TEST_F(BatchRunTest, StopDuringProcessingFinishesTheFileInHand) {
  for (int i = 0; i < 4; ++i) makeJPEG(dir / "in" / ("p" + std::to_string(i) + ".jpg"), 32, 32, i);
  BatchConfiguration c = config();
  c.workers = 1;
  const auto token = makeCancellationToken();
  std::vector<BatchProgress> seen;
  const RunSummary s = run(c, token, [&](const BatchProgress& p) {
    seen.push_back(p);
    token->cancel();
  });
  EXPECT_TRUE(s.cancelled);
  EXPECT_EQ(s.processed, 1);
  EXPECT_EQ(s.discovered, 4);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].completed, 1);
  EXPECT_EQ(seen[0].total, 4);
  EXPECT_EQ(seen[0].lastFile, "p0.jpg");
  EXPECT_TRUE(fs::exists(s.runDirectory / "photos" / "p0.jpg"));
  EXPECT_TRUE(fs::exists(s.runDirectory / "summary.json"));
}

TEST_F(BatchRunTest, EveryFileFailing) {
  writeFile(dir / "in" / "a.jpg", "nope");
  writeFile(dir / "in" / "b.jpg", "");
  const RunSummary s = run(config());
  EXPECT_EQ(s.counts.failed, 2);
  EXPECT_EQ(s.processed, 2);
  EXPECT_FALSE(s.firstOutputSeconds);
  EXPECT_TRUE(fs::is_empty(s.runDirectory / "photos"));
}

TEST_F(BatchRunTest, AnExistingDestinationIsNeverOverwritten) {
  makeJPEG(dir / "in" / "a.jpg", 32, 32);
  const fs::path photos = dir / "batch" / "photos";
  fs::create_directories(photos);
  writeFile(photos / "a.jpg", "already here");
  Worker worker;
  const BatchConfiguration c = config();
  const FileResult r =
      BatchProcessor::process(0, dir / "in" / "a.jpg", dir / "in", photos, c, worker);
  ASSERT_TRUE(r.error);
  EXPECT_NE(r.error->find("File exists"), std::string::npos) << *r.error;
  EXPECT_EQ(readFile(photos / "a.jpg"), "already here");
  EXPECT_EQ(treeOf(photos), std::set<std::string>{"a.jpg"});  // the temporary file is gone
  EXPECT_EQ(r.timings.write, 0);
  EXPECT_GT(r.outputBytes, 0);
}

TEST_F(BatchRunTest, EightWorkersGiveTheSameResultsAsOne) {
  for (int i = 0; i < 30; ++i) {
    makeJPEG(dir / "in" / ("f" + std::to_string(i % 3)) / ("p" + std::to_string(i) + ".jpg"), 48,
             32, i);
  }
  writeFile(dir / "in" / "f1" / "bad.jpg", "bad");
  auto withoutTimings = [](RunSummary s) {
    for (FileResult& r : s.files) {
      r.timings = {};
      r.elapsedSeconds = 0;
    }
    return s.files;
  };
  BatchConfiguration c = config(ProcessingMode::fixed);
  c.workers = 1;
  const RunSummary one = run(c);
  c.workers = 8;
  std::atomic<std::int64_t> lastCompleted = 0;
  std::atomic<bool> increasing = true;
  const RunSummary eight = run(c, makeCancellationToken(), [&](const BatchProgress& p) {
    if (p.completed <= 0 || p.completed > p.total) increasing = false;
    lastCompleted = std::max<std::int64_t>(lastCompleted, p.completed);
  });
  EXPECT_EQ(withoutTimings(one), withoutTimings(eight));
  EXPECT_EQ(one.counts, eight.counts);
  EXPECT_EQ(one.counts.failed, 1);
  EXPECT_EQ(lastCompleted, 31);
  EXPECT_TRUE(increasing);
}

TEST_F(BatchRunTest, AutoModeWithoutAModelFailsBeforeProcessing) {
  makeJPEG(dir / "in" / "a.jpg", 32, 32);
  BatchConfiguration c = config(ProcessingMode::automatic);
  c.model = dir / "missing" / "YOLOv3TinyFP16.mlmodelc";
  const std::string message = runError(c, freeSpace(kPlentyOfSpace));
  EXPECT_FALSE(message.empty());
  // Only the reserved, empty batch directory remains.
  for (const auto& entry : fs::directory_iterator(dir / "out")) {
    EXPECT_TRUE(fs::is_empty(entry.path()) || entry.path().filename().string().starts_with("隼影"))
        << entry.path();
  }
}

TEST(PercentileTest, TakesTheTruncatedRankWithoutInterpolation) {
  std::vector<double> twenty, twentyOne;
  for (int i = 0; i < 21; ++i) twentyOne.push_back(i);
  for (int i = 0; i < 20; ++i) twenty.push_back(i);
  EXPECT_EQ(BatchProcessor::percentile(twentyOne, 0.95), 19);
  EXPECT_EQ(BatchProcessor::percentile(twenty, 0.95), 18);
  EXPECT_EQ(BatchProcessor::percentile(twenty, 0.5), 9);
  EXPECT_EQ(BatchProcessor::percentile({}, 0.5), 0);
  EXPECT_EQ(BatchProcessor::percentile({7}, 0.95), 7);
}

TEST(MachineDescriptionTest, NamesMemoryAndSystem) {
  EXPECT_TRUE(BatchProcessor::machineDescription().ends_with(" GiB RAM"));
  EXPECT_NE(BatchProcessor::machineDescription().find("; "), std::string::npos);
  EXPECT_FALSE(BatchProcessor::osDescription().empty());
}

}  // namespace
}  // namespace kestrel
