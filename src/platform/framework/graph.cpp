// The filter graph (membership, intelligent connect, state, completion
// events), its streaming thread, and the capture graph builder.
//
// Threads: host threads change the graph's state; one streaming thread per
// active graph produces frames and pushes them through the filters, calling
// the sample callback on the way. The state lives in a Stream object under one
// mutex. The streaming thread never holds that mutex while a frame travels, so
// the callback may pause (or even stop) the graph it runs in. Connections
// change only while the graph is stopped and its thread has ended, so the
// thread walks the pins without a lock.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <thread>

#include "platform/factory.h"
#include "platform/framework/fault.h"
#include "platform/framework/framework.h"
#include "platform/thread_safety.h"

namespace kelvane::framework {

using namespace platform;

class Stream {
 public:
  using Clock = std::chrono::steady_clock;

  Mutex mutex;
  std::condition_variable_any changed;
  FILTER_STATE state KELVANE_GUARDED_BY(mutex) = State_Stopped;
  // Run answered S_FALSE: running once someone asks GetState.
  bool runPending KELVANE_GUARDED_BY(mutex) = false;
  bool completed KELVANE_GUARDED_BY(mutex) = false;  // EC_COMPLETE posted and not yet waited for
  // Every posted event with its parameters, for GetEvent; the oldest are
  // dropped beyond kMaxEvents, as nobody may be reading them.
  struct Event {
    int32_t code;
    intptr_t param1, param2;
  };
  static constexpr size_t kMaxEvents = 64;
  std::deque<Event> events KELVANE_GUARDED_BY(mutex);
  std::thread thread KELVANE_GUARDED_BY(mutex);
  std::thread::id threadId KELVANE_GUARDED_BY(mutex);
  // A stop is waiting for the streaming thread to end. A pause or run that
  // arrives meanwhile (from a callback on that thread) must not start
  // streaming again: the thread would not end and the stop would wait for ever.
  int stopping KELVANE_GUARDED_BY(mutex) = 0;
  std::thread::id stoppingId KELVANE_GUARDED_BY(mutex);  // the thread being waited for
  // Set under the mutex before the thread starts and fixed while it lives, so
  // the thread reads it without the mutex.
  std::vector<SourceFilter*> sources;
  // Stepped rate: steps asked for, taken by the thread, and finished.
  uint64_t stepsRequested KELVANE_GUARDED_BY(mutex) = 0;
  uint64_t stepsTaken KELVANE_GUARDED_BY(mutex) = 0;
  uint64_t stepsDone KELVANE_GUARDED_BY(mutex) = 0;
  bool lastDelivered KELVANE_GUARDED_BY(mutex) = false;
  // Times the stream went from not delivering (stopped, paused, run pending) to
  // delivering. Counted where the state changes rather than seen by the thread:
  // a callback's pause and the host's next run may both happen while the
  // thread is still finishing the frame, and that pause must count too.
  uint64_t deliveryStarts KELVANE_GUARDED_BY(mutex) = 0;

  bool Delivering() const KELVANE_REQUIRES(mutex) { return state == State_Running && !runPending; }

  // Sets state and run pending, counting a start of delivery.
  void Move(FILTER_STATE target, bool pending) KELVANE_REQUIRES(mutex) {
    const bool was = Delivering();
    state = target;
    runPending = pending;
    if (!was && Delivering()) ++deliveryStarts;
  }

  // Queues an event for GetEvent (the streaming thread's own, without the mutex held).
  void PostEvent(int32_t code, intptr_t param1, intptr_t param2) KELVANE_EXCLUDES(mutex) {
    MutexLock lock(mutex);
    if (events.size() == kMaxEvents) events.pop_front();
    events.push_back({code, param1, param2});
    changed.notify_all();
  }

  void Body() KELVANE_EXCLUDES(mutex) {
    std::vector<FrameBuffer> buffers(sources.size());
    bool lostPosted = false;
    Clock::time_point due = Clock::now();
    uint64_t resumed = 0;  // the deliveryStarts the sources were last told of
    MutexLock lock(mutex);
    while (state != State_Stopped) {
      bool stepped = false;
      if (!Delivering()) {
        changed.wait(lock);
        due = Clock::now();
        continue;
      }
      if (resumed != deliveryStarts) {
        resumed = deliveryStarts;
        lock.unlock();
        for (SourceFilter* source : sources) {
          try {
            source->Resumed();
          } catch (const std::exception& e) {
            PlatformMessage((source->StreamName() + ": " + source->Scope() + ": " + e.what() + "\r\n").c_str());
          } catch (...) {
            PlatformMessage((source->StreamName() + ": " + source->Scope() + ": unknown failure\r\n").c_str());
          }
        }
        lock.lock();
        continue;  // the state may have changed meanwhile
      }
      const Pacing rate = sources.empty() ? Pacing::RealTime : sources.front()->CurrentPacing();
      if (rate == Pacing::Stepped) {
        if (stepsTaken == stepsRequested && TakeCredit()) {
          stepped = false;  // a granted frame: delivered without a Step waiting for it
        } else if (stepsTaken == stepsRequested) {
          // Wake now and then to notice a change of rate.
          changed.wait_for(lock, std::chrono::milliseconds(100));
          continue;
        } else {
          ++stepsTaken;
          stepped = true;
        }
      } else if (rate == Pacing::RealTime && Clock::now() < due) {
        changed.wait_until(lock, due);
        continue;
      }

      if (rate != Pacing::Stepped && stepsTaken < stepsRequested) {
        // A step asked for at another rate is answered by the next frame.
        ++stepsTaken;
        stepped = true;
      }
      lock.unlock();
      bool delivered = false;
      int64_t interval = 0;
      for (size_t i = 0; i < sources.size(); ++i) {
        SourceFilter* source = sources[i];
        interval = std::max(interval, source->FrameInterval());
        Pin* out = source->FirstPin(PINDIR_OUTPUT);
        if (!out || !out->Peer()) continue;
        // Nothing may escape the streaming thread: a frame that cannot be made
        // (no memory for a huge format) or a callback that throws costs that frame only.
        try {
          if (!source->ProduceFrame(buffers[i], *out)) {
            // A device that has left ends the stream's hope of frames: said once per run.
            if (!lostPosted && FAILED(source->Health())) {
              lostPosted = true;
              PostEvent(EC_DEVICE_LOST, 0, 0);
            }
            continue;
          }
          delivered = true;
        } catch (const std::exception& e) {
          PlatformMessage((source->StreamName() + ": " + source->Scope() + ": " + e.what() + "\r\n").c_str());
        } catch (...) {
          PlatformMessage((source->StreamName() + ": " + source->Scope() + ": unknown failure\r\n").c_str());
        }
      }
      const auto period = std::chrono::microseconds(std::max<int64_t>(interval / 10, 1000));
      lock.lock();
      if (stepped) {
        ++stepsDone;
        lastDelivered = delivered;
        changed.notify_all();
      } else if (!delivered) {
        // Nothing to give (frames stopped, waiting for a trigger): do not spin.
        changed.wait_for(lock, std::max<Clock::duration>(period, std::chrono::milliseconds(10)));
      }
      due += period;
      if (due < Clock::now() - std::chrono::seconds(1)) due = Clock::now();
    }
  }

  // A frame granted ahead to one of the sources this graph streams.
  bool TakeCredit() {
    for (SourceFilter* source : sources)
      if (source->TakeCredit()) return true;
    return false;
  }

  StepOutcome Step() KELVANE_EXCLUDES(mutex) {
    MutexLock lock(mutex);
    if (!Delivering() || std::this_thread::get_id() == threadId) return StepOutcome::NotRunning;
    const uint64_t ticket = ++stepsRequested;
    changed.notify_all();
    changed.wait(lock, [&]() KELVANE_REQUIRES(mutex) {
      return stepsDone >= ticket || (!Delivering() && stepsTaken < ticket);
    });
    if (stepsDone >= ticket) return lastDelivered ? StepOutcome::Delivered : StepOutcome::NoFrame;
    stepsRequested = stepsTaken;  // the graph stopped before the frame was taken
    return StepOutcome::NotRunning;
  }
};

namespace {

void Register(const std::shared_ptr<Stream>& stream) {
  for (SourceFilter* s : stream->sources) s->StreamStarted(stream);
}

void Unregister(const std::shared_ptr<Stream>& stream, const std::vector<SourceFilter*>& sources) {
  for (SourceFilter* s : sources) s->StreamEnded(stream);
}

class FilterGraph final : public Object,
                          public IGraphBuilder,
                          public IMediaControl,
                          public IMediaEventEx,
                          public IMediaEventSink {
 public:
  explicit FilterGraph(DeviceBackend& backend) : backend_(backend), stream_(std::make_shared<Stream>()) {}
  ~FilterGraph() override {
    StopStream();
    {
      // Released from its own callback: the thread ends after this frame on its own.
      MutexLock lock(stream_->mutex);
      if (stream_->thread.joinable()) stream_->thread.detach();
    }
    std::vector<Member> members;
    {
      std::lock_guard lock(mutex_);
      members.swap(members_);
    }
    for (auto& m : members)
      for (const auto& pin : m.filter->Pins()) {
        if (!pin->Peer()) continue;
        pin->Detach();
        m.filter->Disconnected(*pin);
      }
    for (auto& m : members) m.filter->JoinGraph(nullptr, {});
  }

  // Asking the graph for its media control may be made to fail
  // ("IMediaControl::QueryInterface", scoped by the cameras in the graph).
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (riid == IMediaControl::iid)
      if (auto fault = TakeFault("IMediaControl::QueryInterface", Scope())) {
        if (out) *out = nullptr;
        return *fault;
      }
    return QueryImpl(riid, out);
  }
  ULONG AddRef() override { return AddRefImpl(); }
  ULONG Release() override { return ReleaseImpl(); }

  // ---- IFilterGraph ----
  HRESULT AddFilter(IBaseFilter* filter, const char16_t* name) override {
    KELVANE_FAULT("IFilterGraph::AddFilter", Scope());
    if (!filter) return E_POINTER;
    Filter* f = AsFilter(filter);
    if (!f || f->Graph()) return E_INVALIDARG;  // a foreign filter, or already in a graph
    std::lock_guard lock(mutex_);
    std::u16string unique(name && *name ? name : u"Filter");
    HRESULT result = S_OK;
    if (Taken(unique)) {
      // As the framework does: the next free " 0001", " 0002", ... suffix.
      for (int n = 1;; ++n) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, " %04d", n);
        std::u16string candidate = unique.substr(0, 120);
        candidate += ToUtf16(suffix);
        if (!Taken(candidate)) {
          unique = candidate;
          break;
        }
      }
      result = VFW_S_DUPLICATE_NAME;
    }
    members_.push_back(Member{ComPtr<IBaseFilter>::Share(filter), f, unique});
    f->JoinGraph(static_cast<IGraphBuilder*>(this), unique);
    return result;
  }

  HRESULT RemoveFilter(IBaseFilter* filter) override {
    KELVANE_FAULT("IFilterGraph::RemoveFilter", Scope());
    if (!filter) return E_POINTER;
    Filter* f = AsFilter(filter);
    if (!f || !IsMember(*f)) return VFW_E_NOT_IN_GRAPH;
    if (!Stopped()) return VFW_E_NOT_STOPPED;
    for (const auto& pin : f->Pins()) {
      Pin* peer = pin->Peer();
      if (!peer) continue;
      peer->Detach();
      peer->Owner().Disconnected(*peer);
      pin->Detach();
      f->Disconnected(*pin);
    }
    Member removed;
    {
      std::lock_guard lock(mutex_);
      auto it = std::find_if(members_.begin(), members_.end(), [&](const Member& m) { return m.filter == f; });
      if (it == members_.end()) return VFW_E_NOT_IN_GRAPH;
      removed = std::move(*it);
      members_.erase(it);
    }
    f->JoinGraph(nullptr, {});
    return S_OK;  // `removed` gives the graph's reference back here
  }

  HRESULT Disconnect(IPin* pin) override {
    KELVANE_FAULT("IFilterGraph::Disconnect", Scope());
    if (!pin) return E_POINTER;
    Pin* p = AsPin(pin);
    if (!p || !IsMember(p->Owner())) return VFW_E_NOT_IN_GRAPH;
    if (!Stopped()) return VFW_E_NOT_STOPPED;
    if (!p->Peer()) return S_FALSE;
    p->Detach();
    p->Owner().Disconnected(*p);
    return S_OK;
  }

  // ---- IGraphBuilder ----
  HRESULT Connect(IPin* output, IPin* input) override {
    KELVANE_FAULT("IGraphBuilder::Connect", Scope());
    if (!output || !input) return E_POINTER;
    Pin* out = AsPin(output);
    Pin* in = AsPin(input);
    if (!out || !in || !IsMember(out->Owner()) || !IsMember(in->Owner())) return VFW_E_NOT_IN_GRAPH;
    if (out->Direction() != PINDIR_OUTPUT || in->Direction() != PINDIR_INPUT) return VFW_E_INVALID_DIRECTION;
    if (out->Peer() || in->Peer()) return VFW_E_ALREADY_CONNECTED;
    if (!Stopped()) return VFW_E_NOT_STOPPED;
    if (HRESULT gone = out->Owner().Health(); FAILED(gone)) return gone;
    const auto proposals = out->Owner().Proposals(*out);
    if (proposals.empty()) return VFW_E_NO_ACCEPTABLE_TYPES;
    for (const auto& mt : proposals) {
      if (in->Owner().Accepts(*in, mt.Get())) {
        Join(*out, *in, mt);
        return S_OK;
      }
    }
    // Intelligent connect: one converter of the legacy filter category in between.
    for (const DecompressorDesc& desc : backend_.Decompressors()) {
      ComPtr<IBaseFilter> converter;
      if (FAILED(CreateDecompressor(desc, IBaseFilter::iid, converter.PutVoid()))) continue;
      Filter* c = AsFilter(converter.Get());
      Pin* cin = c->FirstPin(PINDIR_INPUT);
      Pin* cout = c->FirstPin(PINDIR_OUTPUT);
      const MediaType* accepted = nullptr;
      for (const auto& mt : proposals)
        if (c->Accepts(*cin, mt.Get())) {
          accepted = &mt;
          break;
        }
      if (!accepted) continue;
      Join(*out, *cin, *accepted);
      for (const auto& mt : c->Proposals(*cout)) {
        if (in->Owner().Accepts(*in, mt.Get())) {
          const std::u16string name = ToUtf16(desc.name);
          if (FAILED(AddFilter(converter.Get(), name.c_str()))) break;
          Join(*cout, *in, mt);
          return S_OK;
        }
      }
      out->Detach();
      cin->Detach();
      out->Owner().Disconnected(*out);
    }
    return VFW_E_CANNOT_CONNECT;
  }

  // ---- IMediaControl ----
  HRESULT Run() override {
    // Run may be made to answer S_FALSE and get to running late (at the next
    // GetState) or never (with a GetState fault), or to fail outright.
    if (auto fault = TakeFault("IMediaControl::Run", Scope())) {
      if (*fault == S_FALSE) return Start(State_Running, true);
      return *fault;
    }
    return Start(State_Running, false);
  }

  HRESULT Pause() override {
    KELVANE_FAULT("IMediaControl::Pause", Scope());
    return Start(State_Paused, false);
  }

  HRESULT Stop() override {
    KELVANE_FAULT("IMediaControl::Stop", Scope());
    StopStream();
    return S_OK;
  }

  HRESULT GetState(int32_t, FILTER_STATE* state) override {
    if (!state) return E_POINTER;
    Stream& s = *stream_;
    const std::optional<HRESULT> fault = TakeFault("IMediaControl::GetState", Scope());
    MutexLock lock(s.mutex);
    if (fault) {
      // The transition has not finished (or the call failed): report where the graph is.
      *state = s.runPending ? State_Paused : s.state;
      return *fault;
    }
    if (s.runPending) {
      // A run that answered S_FALSE has got there by the time anyone asks.
      s.Move(s.state, false);
      s.changed.notify_all();
    }
    *state = s.state;
    return S_OK;
  }

  // ---- IMediaEventEx ----
  HRESULT WaitForCompletion(int32_t timeoutMs, int32_t* eventCode) override {
    KELVANE_FAULT("IMediaEventEx::WaitForCompletion", Scope());
    if (!eventCode) return E_POINTER;
    *eventCode = 0;
    Stream& s = *stream_;
    MutexLock lock(s.mutex);
    auto done = [&]() KELVANE_REQUIRES(s.mutex) { return s.completed || s.state == State_Stopped; };
    if (timeoutMs == INFINITE_WAIT) {
      s.changed.wait(lock, done);
    } else {
      s.changed.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)), done);
    }
    if (s.completed) {
      s.completed = false;
      *eventCode = EC_COMPLETE;
      return S_OK;
    }
    return s.state == State_Stopped ? VFW_E_WRONG_STATE : E_ABORT;
  }

  HRESULT GetEvent(int32_t* eventCode, intptr_t* param1, intptr_t* param2, int32_t timeoutMs) override {
    KELVANE_FAULT("IMediaEventEx::GetEvent", Scope());
    if (!eventCode || !param1 || !param2) return E_POINTER;
    Stream& s = *stream_;
    MutexLock lock(s.mutex);
    auto ready = [&]() KELVANE_REQUIRES(s.mutex) { return !s.events.empty(); };
    if (timeoutMs == INFINITE_WAIT)
      s.changed.wait(lock, ready);
    else
      s.changed.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)), ready);
    if (s.events.empty()) return E_ABORT;
    const Stream::Event e = s.events.front();
    s.events.pop_front();
    *eventCode = e.code;
    *param1 = e.param1;
    *param2 = e.param2;
    return S_OK;
  }

  // ---- IMediaEventSink ----
  HRESULT Notify(int32_t eventCode, intptr_t param1, intptr_t param2) override {
    KELVANE_FAULT("IMediaEventSink::Notify", Scope());
    MutexLock lock(stream_->mutex);
    if (stream_->events.size() == Stream::kMaxEvents) stream_->events.pop_front();
    stream_->events.push_back({eventCode, param1, param2});
    if (eventCode == EC_COMPLETE) stream_->completed = true;
    stream_->changed.notify_all();
    return S_OK;
  }

 private:
  struct Member {
    ComPtr<IBaseFilter> held;
    Filter* filter;
    std::u16string name;
  };

  void* Find(REFIID riid) override {
    if (riid == IUnknown::iid || riid == IFilterGraph::iid || riid == IGraphBuilder::iid)
      return static_cast<IGraphBuilder*>(this);
    if (riid == IMediaControl::iid) return static_cast<IMediaControl*>(this);
    if (riid == IMediaEventEx::iid) return static_cast<IMediaEventEx*>(this);
    if (riid == IMediaEventSink::iid) return static_cast<IMediaEventSink*>(this);
    return nullptr;
  }

  bool Taken(const std::u16string& name) const {
    for (const auto& m : members_)
      if (m.name == name) return true;
    return false;
  }

  bool IsMember(const Filter& f) const {
    std::lock_guard lock(mutex_);
    for (const auto& m : members_)
      if (m.filter == &f) return true;
    return false;
  }

  // Stopped, and the streaming thread has ended (connections may change).
  bool Stopped() {
    ReapThread();
    MutexLock lock(stream_->mutex);
    return stream_->state == State_Stopped && !stream_->thread.joinable() && stream_->stopping == 0;
  }

  // Joins a streaming thread that was stopped from its own callback.
  void ReapThread() {
    Stream& s = *stream_;
    MutexLock lock(s.mutex);
    if (s.state != State_Stopped || !s.thread.joinable() || std::this_thread::get_id() == s.threadId) return;
    EndThread(s);
  }

  // With the stream's mutex held and a streaming thread to end: takes the
  // thread out and waits for it with the mutex released (and held again on
  // return). Meanwhile a pause or run waits for the end (or is refused when it
  // comes from that very thread), so nothing starts streaming again under the wait.
  void EndThread(Stream& s) KELVANE_REQUIRES(s.mutex) {
    std::thread finished = std::move(s.thread);
    const std::vector<SourceFilter*> sources = s.sources;
    s.threadId = {};  // ids are reused once a thread has ended
    ++s.stopping;
    s.stoppingId = finished.get_id();
    s.mutex.unlock();
    finished.join();  // the frame in flight finishes first
    Unregister(stream_, sources);
    s.mutex.lock();
    --s.stopping;
    s.changed.notify_all();
  }

  // Faults on a graph are scoped by the cameras in it.
  std::string Scope() const {
    std::lock_guard lock(mutex_);
    for (const auto& m : members_)
      if (dynamic_cast<SourceFilter*>(m.filter)) return m.filter->Scope();
    return "";
  }

  static void Join(Pin& out, Pin& in, const MediaType& mt) {
    out.Attach(&in, mt);
    in.Attach(&out, mt);
    out.Owner().Connected(out);
    in.Owner().Connected(in);
  }

  std::vector<SourceFilter*> Sources() const {
    std::vector<SourceFilter*> v;
    std::lock_guard lock(mutex_);
    for (const auto& m : members_)
      if (auto* s = dynamic_cast<SourceFilter*>(m.filter)) v.push_back(s);
    return v;
  }

  // Moves to running or paused, starting the streaming thread from stopped.
  HRESULT Start(FILTER_STATE target, bool pending) {
    Stream& s = *stream_;
    ReapThread();
    const auto sources = Sources();
    MutexLock lock(s.mutex);
    if (s.stopping > 0) {
      if (std::this_thread::get_id() == s.stoppingId) return VFW_E_WRONG_STATE;
      s.changed.wait(lock, [&]() KELVANE_REQUIRES(s.mutex) { return s.stopping == 0; });
    }
    if (target == State_Running) s.completed = false;  // a completion nobody waited for belongs to an earlier image
    if (s.state == State_Stopped && !s.thread.joinable()) {
      s.sources = sources;
      s.stepsRequested = s.stepsTaken = s.stepsDone = 0;
      s.thread = std::thread([stream = stream_] { stream->Body(); });
      s.threadId = s.thread.get_id();
      Register(stream_);
    }
    s.Move(target, pending);
    s.changed.notify_all();
    return pending ? S_FALSE : S_OK;
  }

  void StopStream() {
    Stream& s = *stream_;
    MutexLock lock(s.mutex);
    s.Move(State_Stopped, false);
    s.changed.notify_all();
    const auto self = std::this_thread::get_id();
    if (self == s.threadId) return;  // inside its own callback: it ends after the frame
    if (!s.thread.joinable()) {
      // Another stop is waiting for the thread: stopped means ended for this caller too.
      if (self != s.stoppingId) s.changed.wait(lock, [&]() KELVANE_REQUIRES(s.mutex) { return s.stopping == 0; });
      return;
    }
    EndThread(s);
  }

  DeviceBackend& backend_;    // the decompressors intelligent connect may put in between
  mutable std::mutex mutex_;  // members_
  std::vector<Member> members_;
  std::shared_ptr<Stream> stream_;
};

class CaptureGraphBuilder final : public Object, public ICaptureGraphBuilder2 {
 public:
  KELVANE_IUNKNOWN

  HRESULT SetFiltergraph(IGraphBuilder* graph) override {
    KELVANE_FAULT("ICaptureGraphBuilder2::SetFiltergraph", "");
    if (!graph) return E_POINTER;
    if (graph_) return E_UNEXPECTED;
    graph_ = ComPtr<IGraphBuilder>::Share(graph);
    return S_OK;
  }

  HRESULT FindInterface(const GUID* category, const GUID* type, IBaseFilter* filter, REFIID riid,
                        void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!filter) return E_POINTER;
    Filter* f = AsFilter(filter);
    KELVANE_FAULT("ICaptureGraphBuilder2::FindInterface", f ? f->Scope() : "");
    if (!category && SUCCEEDED(filter->QueryInterface(riid, object))) return S_OK;
    if (!f) return E_NOINTERFACE;
    const bool capture = dynamic_cast<SourceFilter*>(f) != nullptr;
    for (const auto& pin : f->Pins()) {
      if (pin->Direction() != PINDIR_OUTPUT) continue;
      if (category && !(*category == PIN_CATEGORY_CAPTURE && capture)) continue;
      if (type && !(*type == MEDIATYPE_Video)) continue;
      if (SUCCEEDED(pin->QueryInterface(riid, object))) return S_OK;
    }
    return E_NOINTERFACE;
  }

 private:
  void* Find(REFIID riid) override {
    if (riid == IUnknown::iid || riid == ICaptureGraphBuilder2::iid) return static_cast<ICaptureGraphBuilder2*>(this);
    return nullptr;
  }
  ComPtr<IGraphBuilder> graph_;
};

}  // namespace

HRESULT CreateFilterGraph(DeviceBackend& backend, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return HandOut(new FilterGraph(backend), riid, out);
}

HRESULT CreateCaptureGraphBuilder(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return HandOut(new CaptureGraphBuilder, riid, out);
}

StepOutcome StepStream(Stream& stream) { return stream.Step(); }

void WakeStream(Stream& stream) {
  MutexLock lock(stream.mutex);
  stream.changed.notify_all();
}

}  // namespace kelvane::framework
