// Device enumeration on the simulated bus: categories, monikers, property
// bags, binding, and the faults a discovery has to survive.
#include "sim_fixture.h"

namespace kelvane::sim::testing {
namespace {

using EnumerationTest = SimTest;

struct Listed {
  HRESULT result = S_OK;
  std::vector<std::string> names;
};

Listed List(REFCLSID category) {
  Listed out;
  ComPtr<ICreateDevEnum> devices;
  EXPECT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, ICreateDevEnum::iid, devices.PutVoid()), S_OK);
  ComPtr<IEnumMoniker> list;
  out.result = devices->CreateClassEnumerator(category, list.Put(), 0);
  if (out.result != S_OK) {
    EXPECT_FALSE(list) << "an empty category gives no enumerator";
    return out;
  }
  EXPECT_EQ(list->Reset(), S_OK);
  ComPtr<IMoniker> moniker;
  ULONG fetched = 0;
  while (list->Next(1, moniker.Put(), &fetched) == S_OK) {
    EXPECT_EQ(fetched, 1u);
    ComPtr<IPropertyBag> bag;
    std::u16string name;
    if (SUCCEEDED(moniker->BindToStorage(IPropertyBag::iid, bag.PutVoid())) &&
        SUCCEEDED(bag->Read(u"FriendlyName", &name))) {
      out.names.emplace_back(name.begin(), name.end());
    } else {
      out.names.emplace_back("<unreadable>");
    }
  }
  return out;
}

TEST_F(EnumerationTest, DefaultBenchListsCamerasAndDecompressors) {
  const Listed cameras = List(CLSID_VideoInputDeviceCategory);
  EXPECT_EQ(cameras.result, S_OK);
  EXPECT_EQ(cameras.names,
            (std::vector<std::string>{"Kestrel KC-640C", "Kestrel KM-1280M16", "USB 2.0 Video Camera"}));
  const Listed filters = List(CLSID_LegacyAmFilterCategory);
  EXPECT_EQ(filters.result, S_OK);
  EXPECT_EQ(filters.names, (std::vector<std::string>{"Fire-i Yuv decompressor", "AVI Decompressor"}));
}

TEST_F(EnumerationTest, EmptyOrUnknownCategoryIsSFalse) {
  ASSERT_TRUE(LoadBusFromText(R"({"cameras": []})"));
  EXPECT_EQ(List(CLSID_VideoInputDeviceCategory).result, S_FALSE);
  EXPECT_EQ(List(CLSID_LegacyAmFilterCategory).result, S_FALSE);
  LoadDefaultBus();
  EXPECT_EQ(List(CLSID_FilterGraph).result, S_FALSE);
}

TEST_F(EnumerationTest, NextDeliversSeveralAndSaysWhenShort) {
  ComPtr<ICreateDevEnum> devices;
  ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, ICreateDevEnum::iid, devices.PutVoid()), S_OK);
  ComPtr<IEnumMoniker> list;
  ASSERT_EQ(devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, list.Put(), 0), S_OK);
  IMoniker* monikers[5] = {};
  ULONG fetched = 99;
  EXPECT_EQ(list->Next(2, monikers, nullptr), E_POINTER) << "several monikers need a count";
  EXPECT_EQ(list->Next(5, monikers, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 3u);
  for (ULONG i = 0; i < fetched; ++i) monikers[i]->Release();
  EXPECT_EQ(list->Next(1, monikers, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(list->Reset(), S_OK);
  EXPECT_EQ(list->Next(1, monikers, &fetched), S_OK);
  monikers[0]->Release();
}

TEST_F(EnumerationTest, PropertyBagKnowsOnlyTheFriendlyName) {
  ComPtr<ICreateDevEnum> devices;
  ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, ICreateDevEnum::iid, devices.PutVoid()), S_OK);
  ComPtr<IEnumMoniker> list;
  ASSERT_EQ(devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, list.Put(), 0), S_OK);
  ComPtr<IMoniker> moniker;
  ASSERT_EQ(list->Next(1, moniker.Put(), nullptr), S_OK);
  ComPtr<IPropertyBag> bag;
  ASSERT_EQ(moniker->BindToStorage(IPropertyBag::iid, bag.PutVoid()), S_OK);
  std::u16string value;
  EXPECT_EQ(bag->Read(u"FriendlyName", &value), S_OK);
  EXPECT_EQ(value, u"Kestrel KC-640C");
  EXPECT_TRUE(FAILED(bag->Read(u"DevicePath", &value)));
  EXPECT_EQ(bag->Read(u"FriendlyName", nullptr), E_POINTER);
  ComPtr<IBaseFilter> wrong;
  EXPECT_EQ(moniker->BindToStorage(IBaseFilter::iid, wrong.PutVoid()), E_NOINTERFACE);
  EXPECT_FALSE(wrong);
}

TEST_F(EnumerationTest, BindingGivesAFreshFilterOnTheSameDevice) {
  ComPtr<IBaseFilter> a = BindCamera("Kestrel KC-640C");
  ComPtr<IBaseFilter> b = BindCamera("Kestrel KC-640C");
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(a == b);
  // Both see one device: a register written through one reads back through the other.
  ComPtr<IFiCameraInfo> ia, ib;
  ASSERT_EQ(a.As(ia), S_OK);
  ASSERT_EQ(b.As(ib), S_OK);
  ASSERT_EQ(ia->WriteRegister(0xF0F00830, 0x82000000), S_OK);
  uint32_t v = 0;
  ASSERT_EQ(ib->ReadRegister(0xF0F00830, &v), S_OK);
  EXPECT_EQ(v, 0x82000000u);
  FILTER_INFO info;
  ASSERT_EQ(a->QueryFilterInfo(&info), S_OK);
  EXPECT_EQ(info.pGraph, nullptr) << "not in a graph yet";
  EXPECT_EQ(info.achName[0], u'\0');
}

TEST_F(EnumerationTest, DecompressorsBindAsFiltersWithTheirRawModeInterface) {
  ComPtr<ICreateDevEnum> devices;
  ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, ICreateDevEnum::iid, devices.PutVoid()), S_OK);
  ComPtr<IEnumMoniker> list;
  ASSERT_EQ(devices->CreateClassEnumerator(CLSID_LegacyAmFilterCategory, list.Put(), 0), S_OK);
  ComPtr<IMoniker> moniker;
  std::vector<HRESULT> rawMode;
  while (list->Next(1, moniker.Put(), nullptr) == S_OK) {
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(moniker->BindToObject(IBaseFilter::iid, filter.PutVoid()), S_OK);
    ComPtr<IFiRawMode> raw;
    rawMode.push_back(filter.As(raw));
    if (raw) {
      EXPECT_EQ(raw->SetRawMode(2), S_OK);
    }
  }
  EXPECT_EQ(rawMode, (std::vector<HRESULT>{S_OK, E_NOINTERFACE}));
}

// What a discovery meets on a bus with faults, one case per fault kind.
TEST_F(EnumerationTest, FaultsOfDescriptionAndTestApi) {
  ASSERT_TRUE(LoadBusFromFile(DataFile("faulty_bench.json")));
  // "Unplugged" is described as absent and is not listed at all.
  EXPECT_EQ(List(CLSID_VideoInputDeviceCategory).names,
            (std::vector<std::string>{"Unbindable", "<unreadable>", "Old format driver"}));

  ComPtr<ICreateDevEnum> devices;
  ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, ICreateDevEnum::iid, devices.PutVoid()), S_OK);
  ComPtr<IEnumMoniker> list;
  ASSERT_EQ(devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, list.Put(), 0), S_OK);
  ComPtr<IMoniker> first;
  ASSERT_EQ(list->Next(1, first.Put(), nullptr), S_OK);
  ComPtr<IBaseFilter> filter;
  EXPECT_EQ(first->BindToObject(IBaseFilter::iid, filter.PutVoid()), E_ACCESSDENIED) << "fails once";
  EXPECT_FALSE(filter);
  EXPECT_EQ(first->BindToObject(IBaseFilter::iid, filter.PutVoid()), S_OK) << "then binds";

  // A camera that disappears is gone from later lists and its filter fails.
  ASSERT_TRUE(Disappear("Unbindable"));
  EXPECT_EQ(List(CLSID_VideoInputDeviceCategory).names.size(), 2u);
  ComPtr<IFiCameraInfo> info;
  ASSERT_EQ(filter.As(info), S_OK);
  uint32_t value = 0;
  EXPECT_EQ(info->ReadRegister(0xF0F00830, &value), kDeviceGone);
  ComPtr<IEnumPins> pins;
  EXPECT_EQ(filter->EnumPins(pins.Put()), S_OK) << "the filter object itself is still there";
  EXPECT_EQ(first->BindToObject(IBaseFilter::iid, filter.PutVoid()), kDeviceGone);

  // A raising fault throws the platform's error with its text.
  InjectFault({.operation = "ICreateDevEnum::CreateClassEnumerator", .result = S_OK, .raise = "enumeration broke"});
  try {
    devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, list.Put(), 0);
    ADD_FAILURE() << "expected a raise";
  } catch (const PlatformError& e) {
    EXPECT_STREQ(e.what(), "enumeration broke");
  }
  // Creation itself can fail, per class.
  InjectFault(
      {.operation = "CoCreateInstance", .scope = "SystemDeviceEnum", .count = 2, .result = REGDB_E_CLASSNOTREG});
  EXPECT_EQ(PendingFaults("CoCreateInstance"), 2);
  ComPtr<ICreateDevEnum> again;
  EXPECT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, ICreateDevEnum::iid, again.PutVoid()), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(PendingFaults("CoCreateInstance"), 1);
  EXPECT_FALSE(again);
  ClearFaults();
  EXPECT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, ICreateDevEnum::iid, again.PutVoid()), S_OK);
}

TEST_F(EnumerationTest, FaultScopeLimitsItToOneDevice) {
  InjectFault({.operation = "IPropertyBag::Read", .scope = "Kestrel KM-1280M16", .count = -1});
  EXPECT_EQ(List(CLSID_VideoInputDeviceCategory).names,
            (std::vector<std::string>{"Kestrel KC-640C", "<unreadable>", "USB 2.0 Video Camera"}));
  EXPECT_EQ(List(CLSID_VideoInputDeviceCategory).names[1], "<unreadable>") << "count -1 applies every time";
  EXPECT_EQ(PendingFaults("IPropertyBag::Read"), -1);
}

TEST_F(EnumerationTest, CountersSeeEveryObjectAndReference) {
  const int64_t objects = LiveObjects(), references = OutstandingReferences();
  ComPtr<IBaseFilter> filter = BindCamera("Kestrel KC-640C");
  EXPECT_EQ(LiveObjects(), objects + 1);
  EXPECT_EQ(OutstandingReferences(), references + 1);
  ComPtr<IPin> pin = OutputPin(filter.Get());
  EXPECT_EQ(LiveObjects(), objects + 1) << "a pin is part of its filter";
  EXPECT_EQ(OutstandingReferences(), references + 2);
  filter->AddRef();  // a reference someone forgot
  EXPECT_EQ(OutstandingReferences(), references + 3);
  filter->Release();
  pin.Reset();
  filter.Reset();
  EXPECT_EQ(LiveObjects(), objects);
  EXPECT_EQ(OutstandingReferences(), references);
}

TEST_F(EnumerationTest, UnknownClassIsNotRegistered) {
  ComPtr<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(PIN_CATEGORY_CAPTURE, IUnknown::iid, object.PutVoid()), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, IUnknown::iid, nullptr), E_POINTER);
}

}  // namespace
}  // namespace kelvane::sim::testing
