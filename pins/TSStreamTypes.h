// The stream-type table: the media types the time-shift filter handles, all of major type
// MEDIATYPE_Stream. The same table, in this order, is what the input pin accepts, what the output
// pin offers and what the module registers. Pure functions; any thread.
#pragma once

#include <dshow.h>

namespace ovts {

constexpr int kTSStreamTypeCount = 11;
constexpr int kTSNullSubtypeRow = 10;  // MEDIATYPE_Stream with a null subtype
extern const REGPINTYPES kTSStreamTypes[kTSStreamTypeCount];

// The row whose major type and subtype both equal the type's (format not looked at);
// VFW_E_TYPE_NOT_ACCEPTED when none does, E_POINTER for a null type.
HRESULT LookupStreamType(const AM_MEDIA_TYPE* type, int* row);
// Sets only the major type and subtype of `type` from a row.
void GetStreamType(int row, AM_MEDIA_TYPE* type);
// Either type matches the other as a partial pattern.
bool TypesOverlap(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b);

}  // namespace ovts
