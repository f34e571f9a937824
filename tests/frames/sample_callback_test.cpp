// The sample callback's grab cycle, frame by frame: which grab each finished
// image belongs to. A script of host and camera events runs against one
// callback object; the completions it posts (the sequence numbers that end a
// synchronous grab's wait) must be exactly the expected ones.
#include "frames/sample_callback.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvane::frames {
namespace {

using namespace platform;

class Completions final : public IMediaEventSink {
 public:
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT Notify(int32_t code, intptr_t param1, intptr_t) override {
    if (code == EC_COMPLETE) sequences.push_back(static_cast<uint32_t>(param1));
    return S_OK;
  }
  std::vector<uint32_t> sequences;
};

struct CycleCase {
  const char* name;
  int32_t meanCnt;
  int32_t dropCnt;
  // A: arm a grab; D: withdraw it; m: a moving (accepted) frame; s: a black
  // (frozen) frame; e: an empty sample; n: a null buffer; T: frozen-image test off.
  const char* script;
  std::vector<uint32_t> completed;  // sequence numbers of the finished images, in order
};

void PrintTo(const CycleCase& c, std::ostream* os) { *os << c.name << " \"" << c.script << "\""; }

class GrabCycleTest : public ::testing::TestWithParam<CycleCase> {};

TEST_P(GrabCycleTest, EveryImageIsFinishedForItsOwnGrab) {
  const CycleCase& c = GetParam();
  constexpr int32_t kWidth = 16, kHeight = 4;
  FrameStore store(FrameType::Grey8, kWidth, kHeight, 0);
  FrameSettings s;
  s.MeanCnt = c.meanCnt;
  s.BlackLvlPoints = 4;  // black frames count as frozen
  s.BlackLvlValue = 0;
  s.BlackLvlRange = 0;
  s.BlackLvlRetry = 1000000;
  store.ApplySettings(s);
  ASSERT_TRUE(store.SetColorOutput(false));
  CVideoDecoderCB decoder(store);
  decoder.DropCnt.store(c.dropCnt);
  Completions sink;
  decoder.EventSink.store(&sink);

  std::vector<uint8_t> moving(kWidth * kHeight, 200), black(kWidth * kHeight, 0);
  for (const char* p = c.script; *p; ++p) {
    switch (*p) {
      case 'A':
        decoder.Arm();
        break;
      case 'D':
        decoder.Disarm();
        break;
      case 'm':
        decoder.BufferCB(0, moving.data(), static_cast<int32_t>(moving.size()));
        break;
      case 's':
        decoder.BufferCB(0, black.data(), static_cast<int32_t>(black.size()));
        break;
      case 'e':
        decoder.BufferCB(0, moving.data(), 0);
        break;
      case 'n':
        decoder.BufferCB(0, nullptr, static_cast<int32_t>(moving.size()));
        break;
      case 'T':
        store.DisableStaticTest();
        break;
    }
  }
  EXPECT_EQ(sink.sequences, c.completed);
}

INSTANTIATE_TEST_SUITE_P(Scripts, GrabCycleTest,
                         ::testing::Values(CycleCase{"OneGrabOneFrame", 1, 0, "Am", {1}},
                                           CycleCase{"DropsThenTakes", 1, 2, "Ammm", {1}},
                                           // A grab armed while frozen frames keep an earlier grab's cycle open
                                           // is finished by the next accepted frame, for itself.
                                           CycleCase{"ArmedWhileAFrozenCycleIsOpen", 1, 0, "AsssTAm", {2}},
                                           // A new grab mid-averaging starts its own cycle: the frames taken for
                                           // the earlier grab are not part of its image.
                                           CycleCase{"ArmedWhileAveraging", 3, 0, "AmmAmmm", {2}},
                                           CycleCase{"ArmedWhileAveragingAfterDrops", 2, 1, "AmmAmmm", {2}},
                                           // An empty or failed sample is no frame: the grab stays armed and the
                                           // next full frame finishes it; it does not count as a dropped frame.
                                           CycleCase{"EmptySamplesChangeNothing", 1, 0, "Aenm", {1}},
                                           CycleCase{"EmptySampleIsNotADrop", 1, 1, "Aemm", {1}},
                                           CycleCase{"EmptySampleMidAveraging", 2, 0, "Amemm", {1}},
                                           // A withdrawn grab is never finished, and the next grab counts its
                                           // drops again from its own arming.
                                           CycleCase{"WithdrawnGrabIsNeverFinished", 1, 0, "ADmm", {}},
                                           CycleCase{"WithdrawnMidCycleThenArmed", 2, 1, "AmmDAmmm", {3}},
                                           CycleCase{"WithdrawnFrozenCycleThenArmed", 1, 0, "AssDTAm", {3}}),
                         [](const ::testing::TestParamInfo<CycleCase>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace kelvane::frames
