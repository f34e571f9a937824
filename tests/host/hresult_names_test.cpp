#include "diagnostics/hresult_names.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>

namespace kelvane {
namespace {

constexpr int32_t Hr(uint32_t bits) { return static_cast<int32_t>(bits); }

struct NameCase {
  uint32_t value;
  const char* name;
};

// Rules of the table and a sample of every family, with values worked out by
// hand from the SDK's facility and code numbers rather than copied from the
// generated rows.
TEST(HResultNameTest, NamesAndUnknowns) {
  const NameCase cases[] = {
      {0x00000000u, "S_OK"},
      {0x00000001u, "S_FALSE"},
      {0x80004005u, "E_FAIL"},
      // The only Win32 code named both bare and in HRESULT form.
      {0x00000002u, "ERROR_FILE_NOT_FOUND"},
      {0x80070002u, "ERROR_FILE_NOT_FOUND"},
      {0x00000003u, "ERROR_PATH_NOT_FOUND"},
      {0x80070003u, "Unknown"},
      {0x0000000Eu, "ERROR_OUTOFMEMORY"},
      // HRESULT forms of Win32 codes go by their COM names, also where a
      // family defines an alias of the same value.
      {0x80070005u, "E_ACCESSDENIED"},
      {0x80070006u, "E_HANDLE"},
      {0x8007000Eu, "E_OUTOFMEMORY"},
      {0x80070057u, "E_INVALIDARG"},
      {0x80004001u, "E_NOTIMPL"},
      {0x80004002u, "E_NOINTERFACE"},
      {0x80004003u, "E_POINTER"},
      {0x80004004u, "E_ABORT"},
      {0x8000000Au, "E_PENDING"},
      {0x8000FFFFu, "E_UNEXPECTED"},
      {0x80040110u, "CLASS_E_NOAGGREGATION"},
      {0x80040154u, "REGDB_E_CLASSNOTREG"},
      {0x800401F0u, "CO_E_NOTINITIALIZED"},
      {0x800401F1u, "CO_E_ALREADYINITIALIZED"},
      {0x80070490u, "E_PROP_ID_UNSUPPORTED"},
      {0x80070492u, "E_PROP_SET_UNSUPPORTED"},
      {0x00040103u, "VFW_S_NO_MORE_ITEMS"},
      {0x80040200u, "VFW_E_INVALIDMEDIATYPE"},  // also DIERR_INSUFFICIENTPRIVS
      {0x80040227u, "VFW_E_WRONG_STATE"},
      {0x88760005u, "DDERR_ALREADYINITIALIZED"},
      {0x8876017Cu, "DDERR_OUTOFVIDEOMEMORY"},  // also D3DERR_OUTOFVIDEOMEMORY
      {0x88760868u, "D3DERR_DEVICELOST"},
      {0x887602BCu, "D3DERR_BADMAJORVERSION"},
      {0x0878000Au, "DS_NO_VIRTUALIZATION"},
      {0x8878000Au, "DSERR_ALLOCATED"},
      {0x88781161u, "DSERR_OBJECTNOTFOUND"},  // also DMUS_E_NOT_FOUND
      {0x8007001Eu, "DIERR_INPUTLOST"},
      {0x80040400u, "DIERR_INVALIDCLASSINSTALLER"},
      {0x80158030u, "DPNERR_ABORTED"},
      {0x0015800Eu, "DPNERR_PENDING"},
      {0x08781091u, "DMUS_S_PARTIALLOAD"},
      {0x88781101u, "DMUS_E_DRIVER_FAILED"},
      {0x88760352u, "DXFILEERR_BADOBJECT"},
      // Outside the table.
      {0x00000007u, "Unknown"},
      {0x80004006u, "Unknown"},
      {0x7FFFFFFFu, "Unknown"},
      {0x80000000u, "Unknown"},
      {0xFFFFFFFFu, "Unknown"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const char* got = HResultName(Hr(c.value));
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, c.name);
  }
}

// Binary search over the whole table: every row is found under its own name,
// and the neighbours of every row that are not rows themselves are Unknown.
// Catches an unsorted or duplicated table and an off-by-one in the search.
TEST(HResultNameTest, WholeTableSortedDistinctAndFound) {
  const auto table = HResultNameTable();
  ASSERT_GT(table.size(), 600u);
  std::set<uint32_t> values;
  std::set<std::string> names;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const auto& row = table[i];
    ASSERT_NE(row.name, nullptr);
    ASSERT_GT(std::strlen(row.name), 0u);
    if (i > 0) {
      ASSERT_LT(table[i - 1].code, row.code) << row.name;
    }
    values.insert(row.code);
    names.insert(row.name);
    EXPECT_EQ(HResultName(Hr(row.code)), row.name);
    for (uint32_t neighbour : {row.code - 1u, row.code + 1u}) {
      if (i > 0 && neighbour == table[i - 1].code) continue;
      if (i + 1 < table.size() && neighbour == table[i + 1].code) continue;
      EXPECT_STREQ(HResultName(Hr(neighbour)), "Unknown") << std::hex << neighbour;
    }
  }
  EXPECT_EQ(values.size(), table.size());
  // ERROR_FILE_NOT_FOUND is the one name that stands for two values.
  EXPECT_EQ(names.size(), table.size() - 1);
}

}  // namespace
}  // namespace kelvane
