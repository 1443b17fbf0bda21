// ovts.ax loaded the way COM loads it (LoadLibrary, then its exports), with no registration:
// the class objects' refusal codes, the unload test against live objects and server locks, and
// those counts under concurrent use.
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ModuleUnderTest.h"
#include "OVTimeShift.h"

namespace {

using Microsoft::WRL::ComPtr;

class ClassFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    module_ = LoadLibraryW(module_test::ModulePath().c_str());
    ASSERT_NE(module_, nullptr) << "cannot load ovts.ax";
    getClassObject_ = Export<decltype(getClassObject_)>("DllGetClassObject");
    canUnloadNow_ = Export<decltype(canUnloadNow_)>("DllCanUnloadNow");
    ASSERT_TRUE(getClassObject_ && canUnloadNow_);
    ASSERT_EQ(canUnloadNow_(), S_OK) << "objects left by an earlier test";
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
    CoUninitialize();
  }

  template <class F>
  F Export(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

  ComPtr<IClassFactory> Factory(const CLSID& clsid) {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(getClassObject_(clsid, IID_IClassFactory, &factory), S_OK);
    return factory;
  }

  HMODULE module_ = nullptr;
  HRESULT(STDAPICALLTYPE* getClassObject_)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(STDAPICALLTYPE* canUnloadNow_)() = nullptr;
};

// An outer object that aggregates the filter and hands out only the inner's interfaces.
class Outer final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
    if (IsEqualIID(iid, IID_IUnknown)) {
      *result = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(iid, result);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  std::atomic<ULONG> refs{1};
  ComPtr<IUnknown> inner;  // the filter's non-delegating IUnknown
};

TEST_F(ClassFactoryTest, ClassObjectsRefuseWhatTheyDoNotServe) {
  // Catches a class looked up before the interface is checked, a result pointer left dangling
  // on refusal, and an aggregation request for anything but IUnknown that still builds an object.
  const CLSID unknownClass = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(getClassObject_(CLSID_TSGeneralProps, IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(getClassObject_(unknownClass, IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(getClassObject_(unknownClass, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);

  ComPtr<IClassFactory> factory = Factory(CLSID_OVTimeShiftFilter);
  EXPECT_EQ(factory->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, nullptr), E_POINTER);
  Outer outer;
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IBaseFilter, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  factory.Reset();
  EXPECT_EQ(canUnloadNow_(), S_OK) << "an object was built for the refused aggregation";
}

TEST_F(ClassFactoryTest, AggregatedFilterAnswersThroughItsOuterObject) {
  // Catches an interface of the filter (the property-set and control sub-objects especially)
  // that counts references on, or answers QueryInterface for, the filter instead of its outer
  // object, and an inner object the unload test does not see.
  Outer outer;
  ASSERT_EQ(Factory(CLSID_OVTimeShiftFilter)->CreateInstance(&outer, IID_PPV_ARGS(&outer.inner)), S_OK);
  const IID interfaces[] = {IID_IBaseFilter, IID_IKsPropertySet, IID_IOVTimeShiftFilter, IID_IOVTSInstrumentation,
                            IID_ISpecifyPropertyPages};
  for (const IID& iid : interfaces) {
    IUnknown* part = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(iid, reinterpret_cast<void**>(&part)), S_OK);
    EXPECT_EQ(outer.refs.load(), 2u) << "the reference went to the inner object";
    IUnknown* identity = nullptr;
    ASSERT_EQ(part->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    identity->Release();
    part->Release();
  }
  EXPECT_EQ(canUnloadNow_(), S_FALSE);
  outer.inner.Reset();
  EXPECT_EQ(canUnloadNow_(), S_OK);
}

TEST_F(ClassFactoryTest, UnloadWaitsForObjectsAndServerLocks) {
  // Catches a module that lets itself be unloaded under a live factory, object or server lock,
  // and counts that race when hosts create, lock and release from several threads at once.
  ComPtr<IClassFactory> factory = Factory(CLSID_OVTimeShiftFilter);
  EXPECT_EQ(canUnloadNow_(), S_FALSE);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory.Reset();
  EXPECT_EQ(canUnloadNow_(), S_FALSE) << "server locked";
  ASSERT_EQ(Factory(CLSID_TSCacheProps)->LockServer(FALSE), S_OK);
  EXPECT_EQ(canUnloadNow_(), S_OK);

  ComPtr<IUnknown> page;
  ASSERT_EQ(Factory(CLSID_TSPerfInstProp)->CreateInstance(nullptr, IID_PPV_ARGS(&page)), S_OK);
  EXPECT_EQ(canUnloadNow_(), S_FALSE) << "a page is alive";
  page.Reset();
  EXPECT_EQ(canUnloadNow_(), S_OK);

  constexpr int kThreads = 4;
  constexpr int kRounds = 150;
  std::atomic<int> failures{0};
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t) {
    hosts.emplace_back([&, t] {
      const CLSID& clsid = t % 2 ? CLSID_OVTimeShiftFilter : CLSID_TSGeneralProps;
      for (int i = 0; i < kRounds; ++i) {
        ComPtr<IClassFactory> f;
        ComPtr<IUnknown> object;
        if (getClassObject_(clsid, IID_PPV_ARGS(&f)) != S_OK || f->LockServer(TRUE) != S_OK ||
            f->CreateInstance(nullptr, IID_PPV_ARGS(&object)) != S_OK) {
          ++failures;
          return;
        }
        ComPtr<IClassFactory> second = f;  // a second reference, dropped on another line
        object.Reset();
        f->LockServer(FALSE);
      }
    });
  }
  for (std::thread& host : hosts) host.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(canUnloadNow_(), S_OK) << "a count was lost between threads";
}

}  // namespace
