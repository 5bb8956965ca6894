// SPDX-License-Identifier: MIT
#include "core/bibs/bib_keywords.h"

// Exiv2 0.27 hands out std::auto_ptr, which C++20 marks deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <algorithm>
#include <exiv2/exiv2.hpp>
#include <mutex>

#include "core/base/crop_error.h"

namespace kestrel {

namespace {

constexpr std::string_view kKeywordsFailed = "无法写入号码布关键词：";

// Exiv2's XMP toolkit must be set up once before threads use it; its log
// would otherwise print warnings on the batch's stderr.
void prepareExiv2() {
  static std::once_flag once;
  std::call_once(once, [] {
    Exiv2::XmpParser::initialize();
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
  });
}

bool hasIptcKeyword(const Exiv2::IptcData& iptc, const std::string& keyword) {
  return std::any_of(iptc.begin(), iptc.end(), [&](const Exiv2::Iptcdatum& datum) {
    return datum.key() == "Iptc.Application2.Keywords" && datum.toString() == keyword;
  });
}

}  // namespace

std::string bibKeyword(const std::string& number) { return "bib:" + number; }

Bytes withBibKeywords(const Bytes& jpeg, const std::vector<std::string>& numbers) {
  prepareExiv2();
  try {
    Exiv2::Image::AutoPtr image =
        Exiv2::ImageFactory::open(jpeg.data(), static_cast<long>(jpeg.size()));
    image->readMetadata();
    Exiv2::XmpData& xmp = image->xmpData();
    Exiv2::IptcData& iptc = image->iptcData();
    // dc:subject is one bag: the keywords it holds, then the new ones.
    const Exiv2::XmpKey subjectKey("Xmp.dc.subject");
    std::vector<std::string> subjects;
    if (const auto old = xmp.findKey(subjectKey); old != xmp.end()) {
      for (long i = 0; i < old->count(); ++i) subjects.push_back(old->toString(i));
      xmp.erase(old);
    }
    for (const std::string& number : numbers) {
      const std::string keyword = bibKeyword(number);
      if (std::find(subjects.begin(), subjects.end(), keyword) == subjects.end()) {
        subjects.push_back(keyword);
      }
      if (!hasIptcKeyword(iptc, keyword)) {
        Exiv2::StringValue value(keyword);
        iptc.add(Exiv2::IptcKey("Iptc.Application2.Keywords"), &value);
      }
    }
    Exiv2::XmpArrayValue bag(Exiv2::xmpBag);
    for (const std::string& subject : subjects) bag.read(subject);
    xmp.add(subjectKey, &bag);
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    if (io.open() != 0) throw CropError(std::string(kKeywordsFailed) + "内存读取失败");
    const Exiv2::DataBuf written = io.read(static_cast<long>(io.size()));
    io.close();
    return Bytes(std::vector<std::uint8_t>(written.pData_, written.pData_ + written.size_));
  } catch (const Exiv2::AnyError& error) {
    throw CropError(std::string(kKeywordsFailed) + error.what());
  }
}

}  // namespace kestrel

#pragma GCC diagnostic pop
