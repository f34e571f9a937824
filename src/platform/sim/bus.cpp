// Reading a bus description (JSON) into a BusDesc, and the built-in bench.
#include <cmath>
#include <cstdio>
#include <limits>

#include <nlohmann/json.hpp>

#include "platform/framework/jpeg.h"
#include "platform/sim/bus.h"

namespace kelvane::sim {

using nlohmann::json;
using namespace platform;

namespace {

struct HrName {
  const char* name;
  HRESULT hr;
};
const HrName kHrNames[] = {
    {"S_OK", S_OK},
    {"S_FALSE", S_FALSE},
    {"E_NOTIMPL", E_NOTIMPL},
    {"E_NOINTERFACE", E_NOINTERFACE},
    {"E_POINTER", E_POINTER},
    {"E_ABORT", E_ABORT},
    {"E_FAIL", E_FAIL},
    {"E_UNEXPECTED", E_UNEXPECTED},
    {"E_ACCESSDENIED", E_ACCESSDENIED},
    {"E_HANDLE", E_HANDLE},
    {"E_OUTOFMEMORY", E_OUTOFMEMORY},
    {"E_INVALIDARG", E_INVALIDARG},
    {"E_PROP_ID_UNSUPPORTED", E_PROP_ID_UNSUPPORTED},
    {"E_PROP_SET_UNSUPPORTED", E_PROP_SET_UNSUPPORTED},
    {"VFW_E_INVALIDMEDIATYPE", VFW_E_INVALIDMEDIATYPE},
    {"VFW_E_NOT_CONNECTED", VFW_E_NOT_CONNECTED},
    {"VFW_E_CANNOT_CONNECT", VFW_E_CANNOT_CONNECT},
    {"VFW_E_WRONG_STATE", VFW_E_WRONG_STATE},
    {"VFW_E_NOT_FOUND", VFW_E_NOT_FOUND},
    {"VFW_E_ALREADY_CONNECTED", VFW_E_ALREADY_CONNECTED},
    {"VFW_E_NO_ACCEPTABLE_TYPES", VFW_E_NO_ACCEPTABLE_TYPES},
    {"VFW_S_STATE_INTERMEDIATE", VFW_S_STATE_INTERMEDIATE},
    {"REGDB_E_CLASSNOTREG", REGDB_E_CLASSNOTREG},
};

// Thrown inside the parser only; carries the JSON path of the problem.
struct DescriptionError {
  std::string path;
  std::string problem;
};

class Reader {
 public:
  [[noreturn]] static void Fail(const std::string& path, const std::string& problem) {
    throw DescriptionError{path.empty() ? "/" : path, problem};
  }

  // The object the reader is in: the place of a failure that is not its own.
  static std::string Where() { return place_.empty() ? "/" : place_; }

  static const json& Need(const json& object, const std::string& path, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) Fail(path, std::string("missing \"") + key + "\"");
    return *it;
  }

  static void OnlyKeys(const json& object, const std::string& path, std::initializer_list<const char*> keys) {
    place_ = path;
    if (!object.is_object()) Fail(path, "expected an object");
    for (auto it = object.begin(); it != object.end(); ++it) {
      bool known = false;
      for (const char* k : keys) known = known || it.key() == k;
      if (!known) Fail(path + "/" + it.key(), "unknown key \"" + it.key() + "\"");
    }
  }

  static std::string String(const json& v, const std::string& path) {
    if (!v.is_string()) Fail(path, "expected a string");
    return v.get<std::string>();
  }

  static bool Bool(const json& v, const std::string& path) {
    if (!v.is_boolean()) Fail(path, "expected true or false");
    return v.get<bool>();
  }

  static double Number(const json& v, const std::string& path) {
    if (!v.is_number()) Fail(path, "expected a number");
    const double d = v.get<double>();
    if (!std::isfinite(d)) Fail(path, "expected a finite number");
    return d;
  }

  // An integer written as a number or as "0x..." text, within [lo, hi].
  static int64_t Integer(const json& v, const std::string& path, int64_t lo, int64_t hi) {
    int64_t value = 0;
    if (v.is_number_integer()) {
      if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        Fail(path, "number out of range");
      value = v.get<int64_t>();
    } else if (v.is_string()) {
      const std::string s = v.get<std::string>();
      if (s.size() < 3 || s.size() > 18 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X'))
        Fail(path, "expected an integer or \"0x\" and hexadecimal digits");
      uint64_t u = 0;
      for (size_t i = 2; i < s.size(); ++i) {
        const char c = s[i];
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) Fail(path, "expected an integer or \"0x\" and hexadecimal digits");
        u = u << 4 | static_cast<uint64_t>(digit);
      }
      if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) Fail(path, "number out of range");
      value = static_cast<int64_t>(u);
    } else {
      Fail(path, "expected an integer");
    }
    if (value < lo || value > hi)
      Fail(path, "value " + std::to_string(value) + " outside " + std::to_string(lo) + ".." + std::to_string(hi));
    return value;
  }

  static int32_t Int32(const json& v, const std::string& path, int64_t lo = std::numeric_limits<int32_t>::min(),
                       int64_t hi = std::numeric_limits<int32_t>::max()) {
    return static_cast<int32_t>(Integer(v, path, lo, hi));
  }
  static uint32_t Word(const json& v, const std::string& path) {
    // A 32-bit word: registers and HRESULTs are written either way round.
    return static_cast<uint32_t>(Integer(v, path, std::numeric_limits<int32_t>::min(), 0xFFFFFFFFll));
  }

  static HRESULT Result(const json& v, const std::string& path) {
    if (v.is_string()) {
      const std::string s = v.get<std::string>();
      for (const auto& n : kHrNames)
        if (s == n.name) return n.hr;
      if (s.rfind("0x", 0) != 0 && s.rfind("0X", 0) != 0) Fail(path, "unknown result name \"" + s + "\"");
    }
    return static_cast<HRESULT>(Word(v, path));
  }

  static GUID Subtype(const json& v, const std::string& path) {
    GUID g;
    const std::string s = String(v, path);
    if (!SubtypeFromName(s, &g)) Fail(path, "unknown subtype \"" + s + "\"");
    return g;
  }

  static void Property(const json& v, const std::string& path, PropertyDesc& p) {
    OnlyKeys(v, path, {"set", "code", "min", "max", "step", "default", "value", "flags", "caps", "refuse"});
    if (v.contains("min")) p.minimum = Number(v["min"], path + "/min");
    if (v.contains("max")) p.maximum = Number(v["max"], path + "/max");
    if (v.contains("step")) p.step = Number(v["step"], path + "/step");
    if (v.contains("default")) p.defaultValue = Number(v["default"], path + "/default");
    p.value = p.defaultValue;
    if (v.contains("value")) p.value = Number(v["value"], path + "/value");
    if (v.contains("flags")) p.flags = static_cast<int32_t>(Word(v["flags"], path + "/flags"));
    if (v.contains("caps")) p.caps = static_cast<int32_t>(Word(v["caps"], path + "/caps"));
    if (v.contains("refuse")) {
      const json& r = v["refuse"];
      if (!r.is_array()) Fail(path + "/refuse", "expected an array");
      for (size_t i = 0; i < r.size(); ++i) p.refused.push_back(Number(r[i], path + "/refuse/" + std::to_string(i)));
    }
    if (p.minimum > p.maximum) Fail(path, "\"min\" is above \"max\"");
    if (p.value < p.minimum || p.value > p.maximum) Fail(path + "/value", "value outside min..max");
  }

  static FormatDesc Format(const json& v, const std::string& path, bool driverPath) {
    OnlyKeys(v, path, {"subtype", "width", "height", "format7", "fps", "fps_code", "interval", "min_interval",
                       "max_interval"});
    FormatDesc f;
    f.subtype = Subtype(Need(v, path, "subtype"), path + "/subtype");
    if (f.subtype == MEDIASUBTYPE_MJPG && !framework::JpegSupported())
      Fail(path + "/subtype", "MJPG needs a build with libjpeg-turbo (KELVANE_JPEG)");
    f.bitCount = BitCountOf(f.subtype);
    if (v.contains("format7")) {
      const std::string p7 = path + "/format7";
      const json& j = v["format7"];
      OnlyKeys(j, p7, {"max_width", "max_height", "unit_x", "unit_y", "packet_min", "packet_max", "packet"});
      Format7Desc d;
      d.maxWidth = Int32(Need(j, p7, "max_width"), p7 + "/max_width", 1, 16384);
      d.maxHeight = Int32(Need(j, p7, "max_height"), p7 + "/max_height", 1, 16384);
      if (j.contains("unit_x")) d.unitX = Int32(j["unit_x"], p7 + "/unit_x", 1, d.maxWidth);
      if (j.contains("unit_y")) d.unitY = Int32(j["unit_y"], p7 + "/unit_y", 1, d.maxHeight);
      d.packetMin = 4;
      d.packetMax = 4096;
      if (j.contains("packet_min")) d.packetMin = Word(j["packet_min"], p7 + "/packet_min");
      if (j.contains("packet_max")) d.packetMax = Word(j["packet_max"], p7 + "/packet_max");
      d.packet = d.packetMax;
      if (j.contains("packet")) d.packet = Word(j["packet"], p7 + "/packet");
      if (d.packetMin > d.packetMax || d.packet < d.packetMin || d.packet > d.packetMax)
        Fail(p7, "packet sizes must satisfy packet_min <= packet <= packet_max");
      f.format7 = d;
      f.width = d.maxWidth;
      f.height = d.maxHeight;
    }
    if (v.contains("width")) f.width = Int32(v["width"], path + "/width", 1, 16384);
    if (v.contains("height")) f.height = Int32(v["height"], path + "/height", 1, 16384);
    if (f.width == 0) Need(v, path, "width");
    if (f.height == 0) Need(v, path, "height");
    if (f.format7 && (f.width > f.format7->maxWidth || f.height > f.format7->maxHeight ||
                      f.width % f.format7->unitX != 0 || f.height % f.format7->unitY != 0))
      Fail(path, "the size must fit max_width x max_height in steps of unit_x and unit_y");
    // Planar and packed layouts need whole pixel groups.
    const bool pairs = f.subtype == MEDIASUBTYPE_YUY2 || f.subtype == MEDIASUBTYPE_UYVY || f.subtype == MEDIASUBTYPE_Y422;
    const bool quads = f.subtype == MEDIASUBTYPE_Y411;
    const bool planar = f.subtype == MEDIASUBTYPE_I420 || f.subtype == MEDIASUBTYPE_IYUV;
    if ((pairs && f.width % 2) || (quads && f.width % 4) || (planar && (f.width % 2 || f.height % 2)))
      Fail(path, "the width (and for I420 the height) must be a whole number of pixel groups of " +
                     SubtypeName(f.subtype));
    if (v.contains("fps")) {
      const json& a = v["fps"];
      if (!a.is_array() || a.empty()) Fail(path + "/fps", "expected a non-empty array of frame-rate codes");
      for (size_t i = 0; i < a.size(); ++i) f.fpsCodes.push_back(Int32(a[i], path + "/fps/" + std::to_string(i), 0, 7));
    } else if (driverPath) {
      f.fpsCodes = {3, 4};
    }
    if (!f.fpsCodes.empty()) {
      f.fpsCode = f.fpsCodes.back();
      if (v.contains("fps_code")) {
        f.fpsCode = Int32(v["fps_code"], path + "/fps_code", 0, 7);
        bool listed = false;
        for (int32_t c : f.fpsCodes) listed = listed || c == f.fpsCode;
        if (!listed) Fail(path + "/fps_code", "not one of \"fps\"");
      }
      f.interval = IntervalOfFpsCode(f.fpsCode);
      f.minInterval = f.maxInterval = f.interval;
      for (int32_t c : f.fpsCodes) {
        f.minInterval = std::min(f.minInterval, IntervalOfFpsCode(c));
        f.maxInterval = std::max(f.maxInterval, IntervalOfFpsCode(c));
      }
    } else {
      f.interval = v.contains("interval") ? Integer(v["interval"], path + "/interval", 1, 100000000) : 333333;
      f.minInterval = v.contains("min_interval") ? Integer(v["min_interval"], path + "/min_interval", 1, 100000000)
                                                 : f.interval;
      f.maxInterval = v.contains("max_interval") ? Integer(v["max_interval"], path + "/max_interval", 1, 100000000)
                                                 : f.interval;
      if (f.minInterval > f.interval || f.interval > f.maxInterval)
        Fail(path, "intervals must satisfy min_interval <= interval <= max_interval");
    }
    return f;
  }

  // A camera: what it is and offers, its vendor record, registers, properties,
  // formats, property pages and frame source, read in that order (the first
  // problem found is the one reported).
  static CameraDesc Camera(const json& v, const std::string& path) {
    OnlyKeys(v, path, {"name", "kind", "interfaces", "vendor", "model", "number", "video_control_caps",
                       "video_control_mode", "registers", "unknown_registers", "properties", "formats",
                       "default_format", "source", "pages", "legacy_driver", "present"});
    CameraDesc c;
    Identity(v, path, c);
    VendorRecord(v, path, c);
    if (v.contains("video_control_caps"))
      c.videoControlCaps = Int32(v["video_control_caps"], path + "/video_control_caps");
    if (v.contains("video_control_mode"))
      c.videoControlMode = Int32(v["video_control_mode"], path + "/video_control_mode");
    Registers(v, path, c);
    Properties(v, path, c);
    Formats(v, path, c);
    Pages(v, path, c);
    if (v.contains("default_format"))
      c.defaultFormat =
          Int32(v["default_format"], path + "/default_format", 0, static_cast<int64_t>(c.formats.size()) - 1);
    if (v.contains("source")) c.source = Source(v["source"], path + "/source");
    if (v.contains("legacy_driver")) c.legacyDriver = Bool(v["legacy_driver"], path + "/legacy_driver");
    if (v.contains("present")) c.present = Bool(v["present"], path + "/present");
    return c;
  }

  // The name, the kind and the interfaces and pages the kind brings, and the
  // description's changes to those interfaces.
  static void Identity(const json& v, const std::string& path, CameraDesc& c) {
    c.name = String(Need(v, path, "name"), path + "/name");
    if (c.name.empty()) Fail(path + "/name", "empty name");
    const std::string kind = v.contains("kind") ? String(v["kind"], path + "/kind") : "1394";
    if (kind == "1394") {
      c.cameraInfo = c.exposure = c.color = c.basic = c.formatConfig = c.videoControl = true;
      c.ksPropertySet = c.propertyPages = true;
      c.videoControlCaps = VideoControlFlag_ExternalTriggerEnable;
      c.filterPages = {platform::CLSID_VideoSourcePropertyPage, platform::CLSID_VideoFormatPropertyPage};
      c.pinPages = {platform::CLSID_VideoFormatPropertyPage};
    } else if (kind == "usb") {
      c.procAmp = c.cameraControl = c.ksPropertySet = c.propertyPages = true;
      c.filterPages = {platform::CLSID_VideoSourcePropertyPage};
      c.pinPages = {platform::CLSID_VideoFormatPropertyPage};
    } else {
      Fail(path + "/kind", "expected \"1394\" or \"usb\"");
    }
    if (!v.contains("interfaces")) return;
    const std::string p = path + "/interfaces";
    const json& j = v["interfaces"];
    OnlyKeys(j, p,
             {"camera_info", "exposure", "color", "basic", "format_config", "video_control", "proc_amp",
              "camera_control", "ks_property_set", "property_pages"});
    auto flag = [&](const char* key, bool& field) {
      if (j.contains(key)) field = Bool(j[key], p + "/" + key);
    };
    flag("camera_info", c.cameraInfo);
    flag("exposure", c.exposure);
    flag("color", c.color);
    flag("basic", c.basic);
    flag("format_config", c.formatConfig);
    flag("video_control", c.videoControl);
    flag("proc_amp", c.procAmp);
    flag("camera_control", c.cameraControl);
    flag("ks_property_set", c.ksPropertySet);
    flag("property_pages", c.propertyPages);
  }

  // What the driver's camera-information record carries.
  static void VendorRecord(const json& v, const std::string& path, CameraDesc& c) {
    if (v.contains("vendor")) c.vendor = String(v["vendor"], path + "/vendor");
    if (v.contains("model")) c.model = String(v["model"], path + "/model");
    if (c.vendor.size() > 63) Fail(path + "/vendor", "longer than 63 bytes");
    if (c.model.size() > 63) Fail(path + "/model", "longer than 63 bytes");
    if (v.contains("number")) c.number = Int32(v["number"], path + "/number");
  }

  // The register file (an IIDC camera's trigger registers unless the
  // description says otherwise) and how registers it lacks answer.
  static void Registers(const json& v, const std::string& path, CameraDesc& c) {
    if (c.cameraInfo) {
      // An IIDC camera with the trigger feature, unless the description says otherwise.
      c.registers[0xF0F00830] = {0x80000000u, 0x03FF0FFFu};
      c.registers[0xF0F00530] = {0x8F00C000u, 0};
    }
    if (v.contains("registers")) {
      const std::string p = path + "/registers";
      const json& a = v["registers"];
      if (!a.is_array()) Fail(p, "expected an array");
      for (size_t i = 0; i < a.size(); ++i) {
        const std::string pi = p + "/" + std::to_string(i);
        OnlyKeys(a[i], pi, {"address", "value", "writable"});
        const uint32_t address = Word(Need(a[i], pi, "address"), pi + "/address");
        if (address % 4) Fail(pi + "/address", "register addresses are multiples of 4");
        RegisterDesc r;
        if (a[i].contains("value")) r.value = Word(a[i]["value"], pi + "/value");
        r.writable = a[i].contains("writable") ? Word(a[i]["writable"], pi + "/writable") : 0xFFFFFFFFu;
        c.registers[address] = r;
      }
    }
    if (v.contains("unknown_registers")) {
      const std::string p = path + "/unknown_registers";
      const json& u = v["unknown_registers"];
      if (u.is_string() && u.get<std::string>() == "zero") {
        c.unknownRegistersFail = false;
      } else if (u.is_string() && u.get<std::string>() == "fail") {
        c.unknownRegistersFail = true;
      } else if (u.is_object()) {
        OnlyKeys(u, p, {"fail"});
        c.unknownRegistersFail = true;
        c.unknownRegisterResult = Result(Need(u, p, "fail"), p + "/fail");
      } else {
        Fail(p, "expected \"zero\", \"fail\" or {\"fail\": result}");
      }
    }
  }

  static void Properties(const json& v, const std::string& path, CameraDesc& c) {
    if (!v.contains("properties")) return;
    const std::string p = path + "/properties";
    const json& a = v["properties"];
    if (!a.is_array()) Fail(p, "expected an array");
    for (size_t i = 0; i < a.size(); ++i) {
      const std::string pi = p + "/" + std::to_string(i);
      const std::string set = String(Need(a[i], pi, "set"), pi + "/set");
      static const char* kSets[] = {"exposure", "color", "basic", "proc_amp", "camera_control"};
      int s = -1;
      for (int k = 0; k < 5; ++k)
        if (set == kSets[k]) s = k;
      if (s < 0) Fail(pi + "/set", "expected exposure, color, basic, proc_amp or camera_control");
      const int32_t code = Int32(Need(a[i], pi, "code"), pi + "/code", 0, 1000);
      PropertyDesc d;
      Property(a[i], pi, d);
      c.properties[s][code] = d;
    }
  }

  static void Formats(const json& v, const std::string& path, CameraDesc& c) {
    const json& formats = Need(v, path, "formats");
    if (!formats.is_array() || formats.empty()) Fail(path + "/formats", "expected a non-empty array");
    for (size_t i = 0; i < formats.size(); ++i)
      c.formats.push_back(Format(formats[i], path + "/formats/" + std::to_string(i), c.formatConfig));
  }

  // The property pages the filter and its capture pin publish, when the
  // description changes the kind's.
  static void Pages(const json& v, const std::string& path, CameraDesc& c) {
    if (!v.contains("pages")) return;
    const std::string p = path + "/pages";
    const json& j = v["pages"];
    OnlyKeys(j, p, {"filter", "pin"});
    auto list = [&](const char* key, std::vector<GUID>& pages) {
      if (!j.contains(key)) return;
      const std::string pk = p + "/" + key;
      if (!j[key].is_array()) Fail(pk, "expected an array of \"source\" and \"format\"");
      pages.clear();
      for (size_t i = 0; i < j[key].size(); ++i) {
        const std::string name = String(j[key][i], pk + "/" + std::to_string(i));
        if (name == "source")
          pages.push_back(platform::CLSID_VideoSourcePropertyPage);
        else if (name == "format")
          pages.push_back(platform::CLSID_VideoFormatPropertyPage);
        else
          Fail(pk + "/" + std::to_string(i), "expected \"source\" or \"format\"");
      }
    };
    list("filter", c.filterPages);
    list("pin", c.pinPages);
  }

  // Where the camera's pictures come from: the test pattern (with its Bayer
  // order and dark frames), a file to play, a still picture.
  static SourceDesc Source(const json& s, const std::string& p) {
    OnlyKeys(s, p, {"file", "bayer", "blank_every", "still"});
    SourceDesc d;
    if (s.contains("blank_every")) d.blankEvery = Int32(s["blank_every"], p + "/blank_every", 0, 1000000);
    if (s.contains("still")) d.still = Bool(s["still"], p + "/still");
    if (s.contains("file")) d.file = String(s["file"], p + "/file");
    if (s.contains("bayer")) {
      const std::string b = String(s["bayer"], p + "/bayer");
      if (b == "RGGB")
        d.bayer = BayerPattern::RGGB;
      else if (b == "GRBG")
        d.bayer = BayerPattern::GRBG;
      else if (b == "GBRG")
        d.bayer = BayerPattern::GBRG;
      else if (b == "BGGR")
        d.bayer = BayerPattern::BGGR;
      else
        Fail(p + "/bayer", "expected RGGB, GRBG, GBRG or BGGR");
    }
    return d;
  }

  static FilterDesc Filter(const json& v, const std::string& path) {
    OnlyKeys(v, path, {"name", "kind", "raw_mode"});
    FilterDesc f;
    f.name = String(Need(v, path, "name"), path + "/name");
    const std::string kind = String(Need(v, path, "kind"), path + "/kind");
    if (kind == "fire-i-yuv") {
      f.kind = FilterKind::FireiYuv;
      f.rawMode = RawModeSupport::Supported;
    } else if (kind == "avi") {
      f.kind = FilterKind::Avi;
    } else if (kind == "iat-yuv") {
      f.kind = FilterKind::IatYuv;
    } else if (kind == "bayer-rgb") {
      f.kind = FilterKind::BayerRgb;
    } else {
      Fail(path + "/kind", "expected fire-i-yuv, avi, iat-yuv or bayer-rgb");
    }
    if (v.contains("raw_mode")) {
      const std::string r = String(v["raw_mode"], path + "/raw_mode");
      if (r == "none") f.rawMode = RawModeSupport::None;
      else if (r == "supported") f.rawMode = RawModeSupport::Supported;
      else if (r == "raises") f.rawMode = RawModeSupport::Raises;
      else Fail(path + "/raw_mode", "expected none, supported or raises");
    }
    return f;
  }

  static Fault FaultEntry(const json& v, const std::string& path) {
    OnlyKeys(v, path, {"operation", "scope", "after", "count", "result", "raise"});
    Fault f;
    f.operation = String(Need(v, path, "operation"), path + "/operation");
    if (f.operation.find("::") == std::string::npos) Fail(path + "/operation", "expected \"Interface::Method\"");
    if (v.contains("scope")) f.scope = String(v["scope"], path + "/scope");
    if (v.contains("after")) f.after = Int32(v["after"], path + "/after", 0, 1000000000);
    if (v.contains("count")) f.count = Int32(v["count"], path + "/count", -1, 1000000000);
    if (v.contains("result")) f.result = Result(v["result"], path + "/result");
    if (v.contains("raise")) f.raise = String(v["raise"], path + "/raise");
    return f;
  }

  static BusDesc Bus(const json& root) {
    OnlyKeys(root, "", {"rate", "driver_version", "cameras", "filters", "faults", "comment"});
    BusDesc bus;
    if (root.contains("driver_version")) bus.driverVersion = String(root["driver_version"], "/driver_version");
    if (root.contains("rate")) {
      const std::string r = String(root["rate"], "/rate");
      if (r == "realtime") bus.rate = Rate::RealTime;
      else if (r == "fast") bus.rate = Rate::Fast;
      else if (r == "stepped") bus.rate = Rate::Stepped;
      else Fail("/rate", "expected realtime, fast or stepped");
    }
    if (root.contains("cameras")) {
      const json& a = root["cameras"];
      if (!a.is_array()) Fail("/cameras", "expected an array");
      for (size_t i = 0; i < a.size(); ++i) bus.cameras.push_back(Camera(a[i], "/cameras/" + std::to_string(i)));
    }
    if (root.contains("filters")) {
      const json& a = root["filters"];
      if (!a.is_array()) Fail("/filters", "expected an array");
      for (size_t i = 0; i < a.size(); ++i) bus.filters.push_back(Filter(a[i], "/filters/" + std::to_string(i)));
    }
    if (root.contains("faults")) {
      const json& a = root["faults"];
      if (!a.is_array()) Fail("/faults", "expected an array");
      for (size_t i = 0; i < a.size(); ++i) bus.faults.push_back(FaultEntry(a[i], "/faults/" + std::to_string(i)));
    }
    return bus;
  }

 private:
  static thread_local std::string place_;
};

thread_local std::string Reader::place_;

// Line and column (from 1) of a byte offset.
std::string Place(std::string_view text, size_t offset) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// The JSON reader's own text without its "[json.exception.x.n] " tag and, for
// a syntax error, without its own "parse error at line l, column c: ".
std::string ReaderProblem(const std::string& what) {
  std::string problem = what;
  if (problem.rfind("[json.exception.", 0) == 0) {
    const size_t tag = problem.find("] ");
    if (tag != std::string::npos) problem.erase(0, tag + 2);
  }
  if (problem.rfind("parse error", 0) == 0) {
    const size_t colon = problem.find(": ");
    if (colon != std::string::npos) problem.erase(0, colon + 2);
  }
  return problem;
}

// A reading of the text that builds nothing and stops at the first error,
// keeping its offset (the DOM reader names it only for syntax errors).
struct ReaderStop final : json::json_sax_t {
  size_t offset = 0;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t position, const std::string&, const json::exception&) override {
    offset = position;
    return false;
  }
};

ReaderStop FindReaderStop(std::string_view text) {
  ReaderStop stop;
  try {
    json::sax_parse(text.begin(), text.end(), &stop);
  } catch (const std::exception&) {
    // Only memory can run out here; the place then stays at the start.
  }
  return stop;
}

}  // namespace

std::optional<BusDesc> ParseBus(std::string_view text, std::string_view origin, std::string* error) {
  // Whatever goes wrong comes back as one message naming origin, place and
  // problem; nothing escapes.
  auto report = [&](const std::string& place, const std::string& problem) {
    if (error) *error = std::string(origin) + ": " + place + ": " + problem;
    return std::nullopt;
  };
  json root;
  try {
    root = json::parse(text.begin(), text.end());
  } catch (const json::exception& e) {
    // Syntax errors and numbers beyond a double's range alike: the place is
    // where the reader stopped, one past the offending character.
    const ReaderStop stop = FindReaderStop(text);
    return report(Place(text, stop.offset ? stop.offset - 1 : 0), ReaderProblem(e.what()));
  } catch (const std::exception& e) {
    return report("at /", std::string("cannot be read: ") + e.what());  // out of memory
  }
  try {
    if (!root.is_object()) Reader::Fail("", "expected an object");
    return Reader::Bus(root);
  } catch (const DescriptionError& e) {
    return report("at " + e.path, e.problem);
  } catch (const json::exception& e) {
    return report("at " + Reader::Where(), ReaderProblem(e.what()));
  } catch (const std::exception& e) {
    return report("at " + Reader::Where(), e.what());
  }
}

int64_t IntervalOfFpsCode(int32_t code) {
  // 1.875 fps at code 0, doubling per code: 10^7 / (1.875 * 2^code) in 100-ns units.
  if (code < 0 || code > 7) return 0;
  return static_cast<int64_t>(std::llround(1e7 / (1.875 * static_cast<double>(1 << code))));
}

}  // namespace kelvane::sim
