#include "pins/TSStreamTypes.h"

#include "framework/CMediaType.h"
#include "framework/ComKit.h"

namespace ovts {

namespace {

// The stream types, one subtype per row of the table.
constexpr GUID kStreamSubtypes[kTSStreamTypeCount] = {
    {0xE436EB88, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}},  // Avi
    {0xE06D8023, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA}},  // MPEG2_TRANSPORT
    {0xF4AEB342, 0x0329, 0x4FDD, {0xA8, 0xFD, 0x4A, 0xFF, 0x49, 0x26, 0xC9, 0x78}},  // BDA MPEG2 transport
    {0xE436EB84, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}},  // MPEG1System
    {0xE06D8022, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA}},  // MPEG2_PROGRAM
    {0xE436EB85, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}},  // MPEG1VideoCD
    {0xE06D8026, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA}},  // MPEG2_VIDEO
    {0xE436EB86, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}},  // MPEG1Video
    {0xE06D802B, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA}},  // MPEG2_AUDIO
    {0xE436EB87, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}},  // MPEG1Audio
    {},                                                                              // null subtype
};
constexpr GUID kMediaTypeStream = {0xE436EB83, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};

}  // namespace

const REGPINTYPES kTSStreamTypes[kTSStreamTypeCount] = {
    {&kMediaTypeStream, &kStreamSubtypes[0]}, {&kMediaTypeStream, &kStreamSubtypes[1]},
    {&kMediaTypeStream, &kStreamSubtypes[2]}, {&kMediaTypeStream, &kStreamSubtypes[3]},
    {&kMediaTypeStream, &kStreamSubtypes[4]}, {&kMediaTypeStream, &kStreamSubtypes[5]},
    {&kMediaTypeStream, &kStreamSubtypes[6]}, {&kMediaTypeStream, &kStreamSubtypes[7]},
    {&kMediaTypeStream, &kStreamSubtypes[8]}, {&kMediaTypeStream, &kStreamSubtypes[9]},
    {&kMediaTypeStream, &kStreamSubtypes[10]},
};

HRESULT LookupStreamType(const AM_MEDIA_TYPE* type, int* row) {
  RETURN_HR_IF_NULL(E_POINTER, type);
  if (IsEqualGUID(type->majortype, kMediaTypeStream)) {
    for (int i = 0; i < kTSStreamTypeCount; ++i) {
      if (IsEqualGUID(type->subtype, kStreamSubtypes[i])) {
        if (row) *row = i;
        return S_OK;
      }
    }
  }
  return VFW_E_TYPE_NOT_ACCEPTED;
}

void GetStreamType(int row, AM_MEDIA_TYPE* type) {
  type->majortype = *kTSStreamTypes[row].clsMajorType;
  type->subtype = *kTSStreamTypes[row].clsMinorType;
}

bool TypesOverlap(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) {
  return MatchesPartial(a, b) || MatchesPartial(b, a);
}

}  // namespace ovts
