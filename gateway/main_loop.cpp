#include "gateway/main_loop.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "gateway/handlers/addressing.h"
#include "gateway/handlers/pending.h"
#include "gateway/reads/background_reads.h"
#include "gateway/reads/state_file.h"
#include "gateway/reload.h"
#include "gateway/handlers/req_ud2.h"
#include "gateway/handlers/snd_ud_reset_snd_nke.h"
#include "ports/TPort.h"
#include "support/clock.h"
#include "support/leds.h"
#include "support/logs.h"
#include "support/paths.h"
#include "support/loop_signals.h"
#include "support/tmp_files.h"
#include "support/trace_watch.h"
#include "support/wait_set.h"

namespace kestrel {
namespace {

Handling DispatchLongFrame(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  switch (frame.bytes[kLongCi]) {
    case kCiSndUd:
      return HandleSndUd(gateway, frame, answer);
    case kCiSelection:
      return HandleSelection(gateway, frame, answer);
    case kCiAppReset:
      return HandleAppReset(gateway, frame, answer);
    default:
      return Handling::kNoAnswer;  // no handler for this CI
  }
}

Handling Dispatch(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  switch (frame.kind) {
    case FrameKind::kSndNke:
      return HandleSndNke(gateway, frame, answer);
    case FrameKind::kReqUd2:
      return HandleReqUd2(gateway, frame, answer);
    case FrameKind::kLong:
      return DispatchLongFrame(gateway, frame, answer);
    case FrameKind::kNone:
      break;
  }
  return Handling::kNoAnswer;
}

// The request's work, when it has some on the link.
RequestJob* JobOn(Gateway& gateway, size_t link) {
  RequestJob& job = gateway.job;
  return job.Active() && job.LinkIndex() == link ? &job : nullptr;
}

// Steps every link: the request's work and the background reads.
void AdvanceLinks(Gateway& gateway) {
  BackgroundReader reader(gateway);
  for (size_t link = 0; link < gateway.links.size(); ++link) {
    AdvanceLink(*gateway.links[link], JobOn(gateway, link), reader);
  }
}

void WatchLinks(Gateway& gateway, WaitSet& wait) {
  BackgroundReader reader(gateway);
  for (size_t link = 0; link < gateway.links.size(); ++link) {
    WatchLink(*gateway.links[link], JobOn(gateway, link), reader, wait);
  }
}

void Judge(FrameBuffer& frame, bool answered) {
  if (answered) {
    frame.state = FrameState::kAnswer;
  } else {
    frame.discard = true;
  }
}

// On a serial line the master needs the line to turn round: the answer
// starts no sooner than 11 bit times after the request's last byte came in.
void AwaitAnswerGap(const Gateway& gateway, const LoopState& loop) {
  const int64_t waitUs = loop.lastReceiveUs + gateway.mbusAnswerGapUs - NowUs();
  if (waitUs > 0) usleep(static_cast<useconds_t>(waitUs));
}

void SendAnswer(Gateway& gateway, LoopState& loop) {
  AwaitAnswerGap(gateway, loop);
  LogTrace("M-Bus out message\n");
  DumpTrace(loop.answer.bytes, loop.answer.length);
  SignalLed(kLedMBusTransmit, NowMs());
  gateway.mbusPort->Write(loop.answer.bytes, loop.answer.length);
  CountAnswerSent(gateway);
  ResetFrame(loop.frame);
}

// Every frame that gets no answer is thrown away, and ends the selection.
void DiscardFrame(Gateway& gateway, LoopState& loop) {
  ResetFrame(loop.frame);
  EndSelection(gateway);
}

bool FrameInProgress(const FrameBuffer& frame) {
  return (frame.state == FrameState::kStart || frame.state == FrameState::kBody) && frame.count > 0;
}

// A frame is made of one connection's bytes: a new master (also one that
// takes over) never finishes the frame the one before left unfinished.
void DropFrameOfFormerMaster(Gateway& gateway, LoopState& loop) {
  const unsigned connection = gateway.mbusPort->Connection();
  if (connection == loop.mbusConnection) return;
  loop.mbusConnection = connection;
  if (!FrameInProgress(loop.frame)) return;
  LogTrace("New M-Bus master connected, unfinished frame of %d bytes dropped\n", loop.frame.count);
  DiscardFrame(gateway, loop);
}

void EndFrameHandling(Gateway& gateway, LoopState& loop, int64_t now) {
  FrameBuffer& frame = loop.frame;
  if (frame.state == FrameState::kAnswer) {
    SendAnswer(gateway, loop);
  } else if (frame.discard) {
    DiscardFrame(gateway, loop);
  } else if (FrameInProgress(frame) && FrameTimedOut(frame.frameStart, now, gateway.mbusTimeout)) {
    LogTrace("M-Bus Timeout\n");
    CountInvalidFrame(gateway);
    DiscardFrame(gateway, loop);
  }
}

// More than 9000 ms after the last refresh, and a retry pace after a failed one.
int64_t PidFileDueMs(const LoopState& loop) {
  const int64_t refresh = loop.lastPidRefresh + kPidRefreshIntervalMs + 1;
  const int64_t retry = loop.lastPidTry + kPidRetryIntervalMs;
  return refresh > retry ? refresh : retry;
}

// dueMs of -1 means nothing is due.
void DueAtMs(WaitSet& wait, int64_t dueMs) {
  if (dueMs >= 0) wait.DueAtUs(dueMs * kUsPerMs);
}

}  // namespace

void RefreshPidFileIfDue(int64_t now, LoopState& loop) {
  if (now < PidFileDueMs(loop)) return;
  loop.lastPidTry = now;
  const int file = OpenOwnTmpFile(RootedPath(kPidFilePath), IfMissing::kCreate);
  if (file < 0) return;
  const int32_t stamp = static_cast<int32_t>(std::time(nullptr));
  // Native byte order, no process id; any bytes after the first four stay.
  const bool written = pwrite(file, &stamp, sizeof stamp, 0) == static_cast<ssize_t>(sizeof stamp);
  close(file);
  if (written) loop.lastPidRefresh = now;
}

namespace {

// While a request waits for its link's work, the M-Bus side is not read:
// frames that come meanwhile are taken after it has been answered.
void ServePendingRequest(Gateway& gateway, LoopState& loop) {
  AdvanceLinks(gateway);
  if (!gateway.job.Done()) return;
  const Handling handling = FinishPending(gateway, loop.answer);
  if (handling == Handling::kPending) return ServePendingRequest(gateway, loop);
  Judge(loop.frame, handling == Handling::kAnswer);
  EndFrameHandling(gateway, loop, NowMs());
  AdvanceLinks(gateway);  // the line it held is free for the background reads
}

}  // namespace

bool RunLoopCycle(Gateway& gateway, LoopState& loop) {
  FrameBuffer& frame = loop.frame;
  int64_t now = NowMs();
  RefreshPidFileIfDue(now, loop);
  SwitchTraceOnIfPresent(now);
  if (RequestPending(gateway)) {
    ServePendingRequest(gateway, loop);
    KeepMonitoringCurrent(gateway);
    return true;
  }
  if (TakeReloadRequest() && ReloadConfiguration(gateway)) ResetFrame(frame);

  if (frame.count == kFrameBufferSize) {
    // Filled without a valid frame: start over; the old bytes get overwritten.
    frame.count = 0;
    frame.state = FrameState::kIdle;
  }

  const int room = kFrameBufferSize - frame.count;
  int received = 0;
  gateway.mbusPort->Read(frame.bytes + frame.count, room, received);
  if (received > room) received = room;  // never trust a count beyond what was offered
  DropFrameOfFormerMaster(gateway, loop);
  if (received > 0) {
    loop.lastReceiveUs = NowUs();
    SignalLed(kLedMBusReceive, now);
    frame.count += received;
    if (AssembleFrame(frame, now) == AssemblyOutcome::kReadOn) return false;
    LogTrace("M-Bus in message\n");
    DumpTrace(frame.bytes, frame.count);
    CountFrame(gateway, frame);
    if (frame.state == FrameState::kComplete) {
      const Handling handling = Dispatch(gateway, frame, loop.answer);
      if (handling == Handling::kPending) {
        ServePendingRequest(gateway, loop);
        KeepMonitoringCurrent(gateway);
        return true;
      }
      Judge(frame, handling == Handling::kAnswer);
      now = NowMs();
    }
  }
  EndFrameHandling(gateway, loop, now);
  AdvanceLinks(gateway);
  KeepStateFileCurrent(gateway);
  // Only a loop that goes round keeps the watchdog quiet.
  KeepMonitoringCurrent(gateway);
  return true;
}

void AwaitNextCycle(Gateway& gateway, const LoopState& loop) {
  WaitSet wait;
  if (!RequestPending(gateway)) gateway.mbusPort->WatchInput(wait);
  WatchTraceFile(wait);
  DueAtMs(wait, PidFileDueMs(loop));
  DueAtMs(wait, NextLedChangeMs());
  if (FrameInProgress(loop.frame)) {
    DueAtMs(wait, FrameTimeoutDueMs(loop.frame.frameStart, gateway.mbusTimeout));
  }
  WatchLinks(gateway, wait);
  WatchStateFile(gateway, wait);
  WatchMonitoring(gateway, wait);
  wait.Wait();
  SignalLed(kLedRefresh, NowMs());
}

void RunCycleToAnswer(Gateway& gateway, LoopState& loop) {
  RunLoopCycle(gateway, loop);
  while (RequestPending(gateway)) {
    AwaitNextCycle(gateway, loop);
    RunLoopCycle(gateway, loop);
  }
}

void RunMainLoop(Gateway& gateway, LoopState& loop) {
  while (!StopRequested() || RequestPending(gateway)) {
    if (RunLoopCycle(gateway, loop)) AwaitNextCycle(gateway, loop);
  }
}

}  // namespace kestrel
