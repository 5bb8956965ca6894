// SPDX-License-Identifier: MIT
// The bib reader on drawn bibs in real JPEGs (orientation, size floor, the
// missing-data message) and the keywords written into delivered photos.
#include "core/bibs/bib_reader.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <opencv2/imgproc.hpp>

#include "core/base/crop_error.h"
#include "core/base/file_io.h"
#include "core/bibs/bib_keywords.h"
#include "core/jpeg/image_preparation.h"
#include "core/jpeg/previews.h"
#include "tests/support/test_support.h"

// Exiv2 0.27 hands out std::auto_ptr, which C++20 marks deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

namespace kestrel {
namespace {

namespace fs = std::filesystem;

// A 3000 × 4000 frame: a runner whose box is `person`, a white bib with
// "951" in 100 px digits on the chest.
const Box kRunner{0.3, 0.1, 0.4, 0.8};

cv::Mat frameWithBib(const char* number = "951") {
  cv::Mat image(4000, 3000, CV_8UC3, cv::Scalar(90, 60, 150));
  cv::rectangle(image, cv::Rect(1250, 1500, 520, 300), cv::Scalar(240, 240, 240), cv::FILLED);
  const double scale = cv::getFontScaleFromHeight(cv::FONT_HERSHEY_DUPLEX, 100, 12);
  cv::putText(image, number, {1300, 1700}, cv::FONT_HERSHEY_DUPLEX, scale, cv::Scalar(20, 20, 20),
              12, cv::LINE_AA);
  return image;
}

// The JPEG bytes of `image` (RGB or BGR alike: the bib is gray).
Bytes jpegOf(const cv::Mat& image, const fs::path& scratch) {
  RGBImage rgb{image.cols, image.rows,
               std::vector<std::uint8_t>(image.data, image.data + image.total() * 3)};
  writePreviewJPEG(rgb, scratch, 90);
  return readFile(scratch);
}

std::vector<std::string> numbers(const std::vector<Bib>& bibs) {
  std::vector<std::string> out;
  for (const Bib& bib : bibs) out.push_back(bib.number);
  return out;
}

TEST(BibReaderTest, ReadsADrawnBibInAnyOrientation) {
  testing::TempDir dir;
  BibReader reader;
  JPEGEngine engine;
  const cv::Mat upright = frameWithBib();
  // Stored turned a quarter counter-clockwise, shown upright by orientation 6.
  cv::Mat turned;
  cv::rotate(upright, turned, cv::ROTATE_90_COUNTERCLOCKWISE);
  for (const auto& [orientation, stored] : {std::pair{1, upright}, std::pair{6, turned}}) {
    SCOPED_TRACE("orientation " + std::to_string(orientation));
    const Bytes jpeg = jpegOf(stored, dir / ("frame" + std::to_string(orientation) + ".jpg"));
    const JPEGInfo info = engine.header(jpeg);
    const std::vector<Bib> bibs = reader.read(
        jpeg.span(), info, orientation, {{{0.1, 0.6, 0.1, 0.2}, 0.5}, {kRunner, 0.9}}, engine);
    ASSERT_EQ(numbers(bibs), std::vector<std::string>{"951"});
    EXPECT_EQ(bibs[0].person, 1);
    EXPECT_GE(bibs[0].confidence, 0.9);
    // The digits' box, in display space: inside the bib.
    const Box bib{1250.0 / 3000, 1500.0 / 4000, 520.0 / 3000, 300.0 / 4000};
    EXPECT_TRUE(bib.contains(bibs[0].box, 0.002)) << bibs[0].box.x << "," << bibs[0].box.y;
    // The same from the luma the analysis kept (stored orientation, half
    // size here, halved once more to the torsos' scale) instead of a decode.
    const ImagePreparation::AnalysisImage analysis =
        ImagePreparation::analysisThumbnail(ImagePreparation::source(jpeg), 1024, true);
    ASSERT_TRUE(analysis.luma);
    const std::vector<Bib> kept =
        reader.read(jpeg.span(), info, orientation, {{kRunner, 0.9}}, engine, &*analysis.luma);
    ASSERT_EQ(numbers(kept), std::vector<std::string>{"951"});
    EXPECT_TRUE(bib.contains(kept[0].box, 0.002)) << kept[0].box.x << "," << kept[0].box.y;
  }
}

TEST(BibReaderTest, RunnersAreReadFromTheSizeFloorUp) {
  testing::TempDir dir;
  BibReader reader;
  JPEGEngine engine;
  // The frame at a quarter size: 1000 rows, the runner's box 800 px tall
  // with 25 px digits. A box just under the floor is passed over, one just
  // above it is read.
  cv::Mat quarter;
  cv::resize(frameWithBib(), quarter, {}, 0.25, 0.25, cv::INTER_AREA);
  const Bytes jpeg = jpegOf(quarter, dir / "frame.jpg");
  const JPEGInfo info = engine.header(jpeg);
  const auto read = [&](double height) {
    const Box runner{kRunner.x, kRunner.y + kRunner.height - height, kRunner.width, height};
    return numbers(reader.read(jpeg.span(), info, 1, {{runner, 0.9}}, engine));
  };
  EXPECT_TRUE(read(0.79).empty());
  EXPECT_EQ(read(0.81), std::vector<std::string>{"951"});
}

// Two digits are read on clear paper; beside a hand (what shows of "283"
// when the "3" is covered) they are not.
TEST(BibReaderTest, TwoDigitsOnlyWithClearPaperBesideThem) {
  testing::TempDir dir;
  BibReader reader;
  JPEGEngine engine;
  cv::Mat clear = frameWithBib("28");
  cv::Mat covered = clear.clone();
  cv::rectangle(covered, cv::Rect(1460, 1560, 120, 200), cv::Scalar(120, 150, 190), cv::FILLED);
  for (const auto& [name, image, expected] :
       {std::tuple{"clear", clear, std::vector<std::string>{"28"}},
        std::tuple{"covered", covered, std::vector<std::string>{}}}) {
    SCOPED_TRACE(name);
    const Bytes jpeg = jpegOf(image, dir / (std::string(name) + ".jpg"));
    EXPECT_EQ(numbers(reader.read(jpeg.span(), engine.header(jpeg), 1, {{kRunner, 0.9}}, engine)),
              expected);
  }
}

TEST(BibReaderTest, MissingLanguageDataIsNamed) {
  const char* old = getenv("TESSDATA_PREFIX");
  const std::string saved = old ? old : "";
  testing::TempDir empty;
  setenv("TESSDATA_PREFIX", empty.path().c_str(), 1);
  try {
    BibReader reader;
    ADD_FAILURE() << "the reader started without language data";
  } catch (const CropError& error) {
    EXPECT_EQ(std::string(error.what()),
              "未找到 Tesseract 英文数据（tesseract-ocr-eng），无法识别号码布。请先运行 "
              "scripts/setup.sh。");
  }
  if (old) {
    setenv("TESSDATA_PREFIX", saved.c_str(), 1);
  } else {
    unsetenv("TESSDATA_PREFIX");
  }
}

// The segments of a JPEG up to its first scan, and the rest from the scan
// header on (entropy-coded data and end marker).
struct Segments {
  std::vector<std::string> metadata;  // APPn
  std::vector<std::string> image;     // every other segment before the scan
  std::string scan;
};

Segments segmentsOf(const Bytes& jpeg) {
  const std::string_view data = jpeg.view();
  Segments s;
  std::size_t at = 2;  // after SOI
  while (at + 4 <= data.size()) {
    const auto marker = static_cast<unsigned char>(data[at + 1]);
    if (marker == 0xDA) {
      s.scan = std::string(data.substr(at));
      break;
    }
    const std::size_t length =
        static_cast<unsigned char>(data[at + 2]) * 256u + static_cast<unsigned char>(data[at + 3]);
    const std::string segment(data.substr(at, length + 2));
    (marker >= 0xE0 && marker <= 0xEF ? s.metadata : s.image).push_back(segment);
    at += length + 2;
  }
  return s;
}

std::vector<std::string> keywordsOf(const Bytes& jpeg, const char* key) {
  auto image = Exiv2::ImageFactory::open(jpeg.data(), static_cast<long>(jpeg.size()));
  image->readMetadata();
  std::vector<std::string> out;
  if (std::string(key).starts_with("Xmp")) {
    const auto subject = image->xmpData().findKey(Exiv2::XmpKey(key));
    for (long i = 0; subject != image->xmpData().end() && i < subject->count(); ++i) {
      out.push_back(subject->toString(i));
    }
  } else {
    for (const auto& datum : image->iptcData()) {
      if (datum.key() == key) out.push_back(datum.toString());
    }
  }
  return out;
}

// Keywords are added as metadata; the image segments and the scan stay
// byte for byte, a second pass adds nothing twice, and keywords the photo
// already had are kept.
TEST(BibKeywordsTest, AddsKeywordsAndLeavesTheImageAlone) {
  testing::TempDir dir;
  std::vector<std::pair<std::string, Bytes>> photos;
  photos.emplace_back("drawn",
                      jpegOf(cv::Mat(64, 48, CV_8UC3, cv::Scalar(1, 2, 3)), dir / "a.jpg"));
  if (const auto shared = testing::testDataDir()) {
    // Camera metadata: EXIF with a thumbnail.
    photos.emplace_back("camera", readFile(*shared / "race-small" / "0057-IMG_0080.JPG"));
  }
  for (const auto& [name, original] : photos) {
    SCOPED_TRACE(name);
    const Bytes once = withBibKeywords(original, {"951", "680"});
    const Bytes twice = withBibKeywords(once, {"951", "12"});
    const Segments before = segmentsOf(original), after = segmentsOf(twice);
    EXPECT_EQ(after.image, before.image);
    EXPECT_EQ(after.scan, before.scan);
    EXPECT_FALSE(after.scan.empty());
    const std::vector<std::string> expected{"bib:951", "bib:680", "bib:12"};
    EXPECT_EQ(keywordsOf(twice, "Xmp.dc.subject"), expected);
    EXPECT_EQ(keywordsOf(twice, "Iptc.Application2.Keywords"), expected);
  }
  EXPECT_THROW(withBibKeywords(Bytes(std::vector<std::uint8_t>{1, 2, 3}), {"1"}), CropError);
}

}  // namespace
}  // namespace kestrel

#pragma GCC diagnostic pop
