#include "window/live_region_win32.h"

// After windows.h, which they build on.
#include <objbase.h>
#include <oleacc.h>

namespace zvq {

namespace {

// UI Automation's LiveSetting property as an annotation, and its "polite" value; the MinGW headers have
// neither.
constexpr GUID kLiveSettingProperty = {0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr LONG kPolite = 1;

// The service object is only needed for the call; the annotation it records stays with the control.
template <class Call>
bool WithPropertyServices(Call&& ACall) noexcept {
  IAccPropServices* services = nullptr;
  if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                              reinterpret_cast<void**>(&services)))) {
    return false;
  }
  const HRESULT result = ACall(*services);
  services->Release();
  return SUCCEEDED(result);
}

}  // namespace

PoliteLiveRegion::PoliteLiveRegion(HWND AControl) noexcept : FControl(AControl) {
  const HRESULT joined = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  FApartmentJoined = SUCCEEDED(joined);
  // RPC_E_CHANGED_MODE: the thread is in another apartment already, where the service works as well.
  if (!FApartmentJoined && joined != RPC_E_CHANGED_MODE) return;
  VARIANT polite;
  VariantInit(&polite);
  polite.vt = VT_I4;
  polite.lVal = kPolite;
  FMarked = WithPropertyServices([this, &polite](IAccPropServices& AServices) {
    return AServices.SetHwndProp(FControl, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, kLiveSettingProperty,
                                 polite);
  });
}

PoliteLiveRegion::~PoliteLiveRegion() {
  if (FMarked) {
    WithPropertyServices([this](IAccPropServices& AServices) {
      return AServices.ClearHwndProps(FControl, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                      &kLiveSettingProperty, 1);
    });
  }
  if (FApartmentJoined) CoUninitialize();
}

}  // namespace zvq
