// The composition root of ovts.ax: the classes the module serves, the filter and its four
// property pages, with the filter's registration data. Only the module compiles this file, so
// the filter's code never depends on the pages.
#include <strmif.h>

#include "OVTimeShift.h"
#include "module/CFactoryTemplate.h"
#include "filter/CTSFilter.h"
#include "pins/TSStreamTypes.h"
#include "pages/CTSBufStatPropPage.h"
#include "pages/CTSCacheProps.h"
#include "pages/CTSGeneralProps.h"
#include "pages/CTSPerfInstProp.h"

namespace ovts {

namespace {

// The pins graph builders are told of; every one carries the whole stream-type table.
constexpr AMOVIESETUP_PIN Pin(const WCHAR* name, BOOL output, const WCHAR* connectsTo) {
  return {const_cast<LPWSTR>(name), FALSE, output, FALSE, FALSE, &GUID_NULL, connectsTo,
          kTSStreamTypeCount, kTSStreamTypes};
}

const AMOVIESETUP_PIN kPins[] = {
    Pin(L"Input", FALSE, L"Output"),
    Pin(L"Output (AsyncReader)", TRUE, L"Input"),
    Pin(L"Output (Push)", TRUE, L"Input"),
};

// Never picked by automatic graph building: hosts place the filter themselves.
const AMOVIESETUP_FILTER kFilterSetup = {&CLSID_OVTimeShiftFilter, OVTS_FILTER_NAME, MERIT_DO_NOT_USE,
                                         static_cast<UINT>(std::size(kPins)), kPins};

const CFactoryTemplate kTemplates[] = {
    {OVTS_FILTER_NAME, &CLSID_OVTimeShiftFilter, CTSFilter::CreateInstance, &kFilterSetup},
    {L"Buffer Status Properties", &CLSID_TSBufStatPropPage, CTSBufStatPropPage::CreateInstance, nullptr},
    {L"General Properties", &CLSID_TSGeneralProps, CTSGeneralProps::CreateInstance, nullptr},
    {L"Cache Properties", &CLSID_TSCacheProps, CTSCacheProps::CreateInstance, nullptr},
    {L"Instrumentation Properties", &CLSID_TSPerfInstProp, CTSPerfInstProp::CreateInstance, nullptr},
};

}  // namespace

std::span<const CFactoryTemplate> FactoryTemplates() { return kTemplates; }

}  // namespace ovts
