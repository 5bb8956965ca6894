// SPDX-License-Identifier: MIT
// The JPEG subsystem on the shared photographs (KESTREL_TEST_DATA): headers
// against MANIFEST.tsv, crops against jpegtran and exiftool, thumbnails of
// the orientation set. Skipped when the photos are not available.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/batch/crop_error.h"
#include "core/jpeg/image_preparation.h"
#include "core/jpeg/jpeg_engine.h"
#include "core/jpeg/mc_jpeg.h"
#include "tests/jpeg/jpeg_test_support.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

using namespace jpegtest;
namespace fs = std::filesystem;

constexpr const char* kRaceLarge = "race-large/0009-IMG_0027.JPG";  // Intel, SHORT dims
constexpr const char* kRaceSmall = "race-small/0009-IMG_0027.JPG";  // Intel, LONG dims
constexpr const char* kBigEndian = "variants/0057-IMG_0080/exif-bigendian.jpg";  // Motorola, SHORT
constexpr const char* kDog = "other/darknet-dog.jpg";  // Motorola, LONG, 4:4:0
constexpr const char* kVariants = "variants/0057-IMG_0080/";

std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CropError& error) {
    return error.what();
  }
  return "";
}

int codeOf(const std::string& manifest) {
  if (manifest == "4:4:4") return 0;
  if (manifest == "4:2:2") return 1;
  if (manifest == "4:2:0") return 2;
  if (manifest == "gray") return 3;
  if (manifest == "4:4:0") return 4;
  return -1;
}

// Every JPEG of MANIFEST.tsv reports its listed size and subsampling; the
// PNGs named .jpg fail with the decoder's text.
TEST(RealPhotos, HeadersMatchTheManifest) {
  KESTREL_REQUIRE_TEST_DATA(data);
  std::ifstream manifest(data / "MANIFEST.tsv");
  std::string line;
  std::getline(manifest, line);  // column names
  JPEGEngine engine;
  int checked = 0;
  while (std::getline(manifest, line)) {
    std::istringstream fields(line);
    std::string path, width, height, subsampling;
    std::getline(fields, path, '\t');
    std::getline(fields, width, '\t');
    std::getline(fields, height, '\t');
    std::getline(fields, subsampling, '\t');
    const ByteVector bytes = readBytes(data / path);
    if (subsampling.starts_with("n/a")) {
      EXPECT_EQ(errorOf([&] { engine.header(bytes); }), "Not a JPEG file: starts with 0x89 0x50")
          << path;
      continue;
    }
    const JPEGInfo info = engine.header(bytes);
    EXPECT_EQ(info.width, std::stoi(width)) << path;
    EXPECT_EQ(info.height, std::stoi(height)) << path;
    EXPECT_EQ(info.subsampling, codeOf(subsampling)) << path;
    ++checked;
  }
  EXPECT_GE(checked, 50);
}

// About 88 % of each side, MCU-aligned, as the fixed mode crops.
PixelRect centredCrop(const JPEGInfo& info) {
  const std::int64_t w = info.width * 88 / 100, h = info.height * 88 / 100;
  return {(info.width - w) / 2 / info.mcuWidth * info.mcuWidth,
          (info.height - h) / 2 / info.mcuHeight * info.mcuHeight, w, h};
}

TEST(RealPhotos, CropIsByteIdenticalToJpegtran) {
  KESTREL_REQUIRE_TEST_DATA(data);
  if (!haveTool("jpegtran")) GTEST_SKIP() << "jpegtran is not installed";
  const std::string variants = kVariants;
  for (const std::string& name :
       {std::string(kRaceLarge), std::string(kRaceSmall), std::string(kDog),
        variants + "progressive.jpg", variants + "subsampling-422.jpg",
        variants + "subsampling-444.jpg", variants + "grayscale.jpg",
        variants + "restart-markers.jpg", variants + "orient6.jpg", variants + "no-exif.jpg",
        std::string(kBigEndian), std::string("other/darknet-kite.jpg")}) {
    const ByteVector original = readBytes(data / name);
    JPEGEngine engine;
    const PixelRect r = centredCrop(engine.header(original));
    mc_jpeg_context* context = mc_jpeg_create();
    std::uint8_t* out = nullptr;
    std::size_t size = 0;
    char message[512] = {};
    ASSERT_EQ(mc_jpeg_crop(context, original.data(), original.size(), static_cast<int>(r.x),
                           static_cast<int>(r.y), static_cast<int>(r.width),
                           static_cast<int>(r.height), &out, &size, message, sizeof message),
              0)
        << name << ": " << message;
    const ByteVector ours(out, out + size);
    mc_jpeg_free(out);
    mc_jpeg_destroy(context);
    const auto theirs =
        run("jpegtran -crop " + std::to_string(r.width) + "x" + std::to_string(r.height) + "+" +
            std::to_string(r.x) + "+" + std::to_string(r.y) + " -copy all " + quote(data / name));
    ASSERT_TRUE(theirs.has_value()) << name;
    EXPECT_TRUE(ours == ByteVector(theirs->begin(), theirs->end())) << name;
  }
}

TEST(RealPhotos, CropPixelsEqualTheRectangleOfTheOriginal) {
  KESTREL_REQUIRE_TEST_DATA(data);
  const ByteVector original = readBytes(data / kVariants / "12mp-4000x3000.jpg");
  JPEGEngine engine;
  const PixelRect r{1216, 848, 1999, 1501};
  const Bytes cropped = engine.crop(original, r);
  const Decoded full = decode(original, DecodeAs::ycc);
  const Decoded part = decode(cropped.span(), DecodeAs::ycc);
  ASSERT_EQ(part.width, r.width);
  ASSERT_EQ(part.height, r.height);
  for (int y = 0; y < part.height; ++y) {
    ASSERT_EQ(std::memcmp(part.at(0, y), full.at(static_cast<int>(r.x), static_cast<int>(r.y) + y),
                          static_cast<std::size_t>(part.width) * 3),
              0)
        << "row " << y;
  }
}

TEST(RealPhotos, TruncatedPhotoFailsToCropButStillMakesAThumbnail) {
  KESTREL_REQUIRE_TEST_DATA(data);
  const ByteVector truncated = readBytes(data / kVariants / "truncated-60pct.jpg");
  JPEGEngine engine;
  EXPECT_EQ(errorOf([&] {
              engine.crop(truncated, PixelRect{0, 0, 1024, 1024});
            }),
            "Premature end of JPEG file");
  const RGBImage thumb =
      ImagePreparation::thumbnail(ImagePreparation::source(Bytes(truncated)), 512);
  EXPECT_EQ(thumb.width, 512);
}

// EXIF after the engine's crop, read back with exiftool: both byte orders,
// LONG and SHORT fields, IFD1 detached but its thumbnail bytes still there.
TEST(RealPhotos, CropRepairsExifAsExiftoolReadsIt) {
  KESTREL_REQUIRE_TEST_DATA(data);
  if (!haveTool("exiftool")) GTEST_SKIP() << "exiftool is not installed";
  const testing::TempDir dir;
  for (const char* name : {kRaceLarge, kRaceSmall, kBigEndian, kDog}) {
    const ByteVector original = readBytes(data / name);
    JPEGEngine engine;
    const PixelRect r = centredCrop(engine.header(original));
    const Bytes cropped = engine.crop(original, r);
    writeBytes(dir / "crop.jpg", cropped.span());
    const auto dims = run("exiftool -s3 -n -EXIF:ExifImageWidth -EXIF:ExifImageHeight " +
                          quote(dir / "crop.jpg"));
    EXPECT_EQ(dims, std::to_string(r.width) + "\n" + std::to_string(r.height) + "\n") << name;
    EXPECT_EQ(run("exiftool -s3 -IFD1:all " + quote(dir / "crop.jpg")), "") << name;

    const auto thumbnail = run("exiftool -b -ThumbnailImage " + quote(data / name));
    if (thumbnail && !thumbnail->empty()) {
      const ByteVector bytes(thumbnail->begin(), thumbnail->end());
      const auto* begin = cropped.data();
      EXPECT_NE(std::search(begin, begin + cropped.size(), bytes.begin(), bytes.end()),
                begin + cropped.size())
          << name << ": thumbnail bytes must stay in the file";
    }
  }
}

TEST(RealPhotos, RepairCountsButKeepsAShortThatCannotHoldTheWidth) {
  KESTREL_REQUIRE_TEST_DATA(data);
  for (const char* name : {kRaceLarge, kBigEndian}) {  // ExifImageWidth/Height are SHORT here
    ByteVector bytes = readBytes(data / name);
    const ByteVector before = bytes;
    EXPECT_EQ(mc_jpeg_repair_exif(bytes.data(), bytes.size(), 70000, 1234), 2) << name;
    std::size_t changed = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) changed += bytes[i] != before[i];
    EXPECT_GT(changed, 0u);  // height and the IFD1 link
    EXPECT_LE(changed, 6u);
    if (haveTool("exiftool")) {
      const testing::TempDir dir;
      writeBytes(dir / "x.jpg", bytes);
      const auto dims =
          run("exiftool -s3 -n -EXIF:ExifImageWidth -EXIF:ExifImageHeight " + quote(dir / "x.jpg"));
      EXPECT_TRUE(dims && dims->ends_with("\n1234\n")) << name;
      EXPECT_FALSE(dims && dims->starts_with("70000")) << name;
    }
  }
}

TEST(RealPhotos, OrientationSetThumbnailsAreUprightAndAlike) {
  KESTREL_REQUIRE_TEST_DATA(data);
  std::vector<RGBImage> thumbnails;
  for (int o = 1; o <= 8; ++o) {
    const auto source = ImagePreparation::source(
        Bytes(readBytes(data / "orientation-set" / ("orient" + std::to_string(o) + ".jpg"))));
    EXPECT_EQ(ImagePreparation::orientation(source), o);
    thumbnails.push_back(ImagePreparation::thumbnail(source, 312));
  }
  for (int o = 1; o <= 8; ++o) {
    const RGBImage& t = thumbnails[static_cast<std::size_t>(o - 1)];
    ASSERT_EQ(t.width, 312) << "orientation " << o;
    ASSERT_EQ(t.height, 208) << "orientation " << o;
    // Same picture as orientation 1, up to JPEG noise of the transformed
    // blocks (the reference shows no pixel off by more than 2 %).
    double total = 0;
    std::size_t off = 0;
    for (std::size_t i = 0; i < t.pixels.size(); ++i) {
      const int d = std::abs(t.pixels[i] - thumbnails[0].pixels[i]);
      total += d;
      off += d > 12;
    }
    EXPECT_LT(total / static_cast<double>(t.pixels.size()), 1.5) << "orientation " << o;
    EXPECT_LT(off, t.pixels.size() / 500) << "orientation " << o;
  }
}

TEST(RealPhotos, ThumbnailSizesAndOrientation) {
  KESTREL_REQUIRE_TEST_DATA(data);
  struct Case {
    std::string name;
    int orientation, width, height;
  };
  const std::string v = kVariants;
  const Case cases[] = {
      {kRaceLarge, 1, 1024, 683},         {"race-large/prom.jpg", 1, 1024, 683},
      {v + "orient6.jpg", 6, 1024, 836},  {v + "orient8.jpg", 8, 1024, 836},
      {v + "orient3.jpg", 3, 1024, 836},  {"race-large/0057-IMG_0080.JPG", 1, 1024, 836},
      {v + "tiny-64x48.jpg", 1, 64, 48},  {"other/output_marathon_Moment.jpg", 1, 576, 1024},
      {v + "grayscale.jpg", 1, 1024, 836}};
  for (const Case& c : cases) {
    const auto source = ImagePreparation::source(Bytes(readBytes(data / c.name)));
    EXPECT_EQ(ImagePreparation::orientation(source), c.orientation) << c.name;
    const RGBImage t = ImagePreparation::thumbnail(source, 1024);
    EXPECT_EQ(t.width, c.width) << c.name;
    EXPECT_EQ(t.height, c.height) << c.name;
  }
  // The rotated variants show the same upright picture as the original.
  const RGBImage reference = ImagePreparation::thumbnail(
      ImagePreparation::source(Bytes(readBytes(data / "race-large/0057-IMG_0080.JPG"))), 256);
  for (const char* name : {"orient6.jpg", "orient8.jpg", "orient3.jpg"}) {
    const RGBImage t = ImagePreparation::thumbnail(
        ImagePreparation::source(Bytes(readBytes(data / kVariants / name))), 256);
    ASSERT_EQ(t.width, reference.width);
    ASSERT_EQ(t.height, reference.height);
    double total = 0;
    for (std::size_t i = 0; i < t.pixels.size(); ++i)
      total += std::abs(t.pixels[i] - reference.pixels[i]);
    EXPECT_LT(total / static_cast<double>(t.pixels.size()), 4.0) << name;
  }
}

TEST(RealPhotos, SourceRefusesPNGsNamedLikeJPEGs) {
  KESTREL_REQUIRE_TEST_DATA(data);
  for (const char* name :
       {"variants/0057-IMG_0080/not-a-jpeg-png.jpg", "other/BibDetectorSample.jpeg"}) {
    EXPECT_EQ(errorOf([&] { ImagePreparation::source(Bytes(readBytes(data / name))); }),
              "无法读取 JPEG 图像")
        << name;
  }
}

}  // namespace
}  // namespace kestrel
