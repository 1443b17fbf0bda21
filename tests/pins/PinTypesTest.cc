// The pins' media types and identifiers as the platform's graph sees them: the input takes the
// stream-type table, the output offers it (or the input's type) and the pins are found again by
// the identifiers they report.
#include <gtest/gtest.h>

#include <vector>

#include "TimeShiftGraph.h"
#include "pins/TSStreamTypes.h"

namespace ovts::test {
namespace {

// Each type a pin's enumerator hands out, as (major type, subtype); format must be empty.
std::vector<std::pair<GUID, GUID>> OfferedTypes(IPin* pin) {
  std::vector<std::pair<GUID, GUID>> types;
  ComPtr<IEnumMediaTypes> all;
  EXPECT_EQ(pin->EnumMediaTypes(&all), S_OK);
  AM_MEDIA_TYPE* type = nullptr;
  while (all->Next(1, &type, nullptr) == S_OK) {
    const UniqueMediaType owned(type);
    EXPECT_TRUE(IsEqualGUID(owned->formattype, GUID_NULL));
    EXPECT_EQ(owned->cbFormat, 0u);
    types.emplace_back(owned->majortype, owned->subtype);
  }
  return types;
}

class PinTypesTest : public TimeShiftGraphTest {};

TEST_F(PinTypesTest, PinsOfferTheStreamTableAndAreFoundByTheirIdentifiers) {
  // Catches a table out of order or incomplete, an output that keeps offering every type once
  // the input has connected, an input that accepts a listed subtype under another major type,
  // and pin identifiers that FindPin does not find again.
  AddFilter(new CTSFilter(nullptr));
  EXPECT_EQ(filter_->GetPinCount(), 2);
  IPin* input = FilterInput();
  IPin* output = filter_->OutputPin();
  ASSERT_NE(output, nullptr);

  const auto table = OfferedTypes(input);
  ASSERT_EQ(table.size(), size_t{kTSStreamTypeCount});
  for (int row = 0; row < kTSStreamTypeCount; ++row) {
    EXPECT_TRUE(IsEqualGUID(table[row].first, MEDIATYPE_Stream));
    EXPECT_TRUE(IsEqualGUID(table[row].second, *kTSStreamTypes[row].clsMinorType)) << row;
  }
  EXPECT_EQ(OfferedTypes(output), table);
  const CMediaType videoMajor(MEDIATYPE_Video, MEDIASUBTYPE_MPEG2_TRANSPORT);
  EXPECT_EQ(input->QueryAccept(&videoMajor), S_FALSE);

  AddPushSource({.subtype = MEDIASUBTYPE_MPEG2_PROGRAM});
  const std::vector<std::pair<GUID, GUID>> narrowed = {{MEDIATYPE_Stream, MEDIASUBTYPE_MPEG2_PROGRAM},
                                                       {MEDIATYPE_Stream, GUID_NULL}};
  EXPECT_EQ(OfferedTypes(output), narrowed);
  // Downstream can only take what overlaps the input's type.
  AddSink({.subtypes = {MEDIASUBTYPE_MPEG2_PROGRAM}});
  const CMediaType transport(MEDIATYPE_Stream, MEDIASUBTYPE_MPEG2_TRANSPORT);
  EXPECT_EQ(output->QueryAccept(&transport), S_FALSE);

  for (IPin* pin : {input, output}) {
    LPWSTR id = nullptr;
    ASSERT_EQ(pin->QueryId(&id), S_OK);
    ComPtr<IPin> found;
    EXPECT_EQ(filter_->FindPin(id, &found), S_OK) << id;
    EXPECT_EQ(found.Get(), pin) << id;
    CoTaskMemFree(id);
  }
}

}  // namespace
}  // namespace ovts::test
