#include "platform/desktop_progress.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/desktop_progress_view.h"

namespace plat {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A desktop redraws a notification or window for every update; once a second
// is plenty for a bar that moves for minutes.
constexpr auto kShowInterval = std::chrono::seconds(1);
// How long EndDesktopProgress waits to learn whether the desktop took it.
constexpr auto kAnswerWait = std::chrono::milliseconds(50);
// How long the process's end waits for the outcome to be shown.
constexpr auto kFlushWait = std::chrono::seconds(4);
// How long a success stays in a window of its own (a notification stays
// anyway). A failure stays until the next job or the process's end: the
// person must see it even when they come back to the PC later.
constexpr auto kSuccessHold = std::chrono::seconds(2);

enum class Taken { Unknown, Yes, No };

// The latest state asked for, and what the progress thread made of it. The
// caller only writes here under the lock; the thread does the slow part.
struct Progress {
  std::mutex lock;
  std::condition_variable changed;
  DesktopProgressView want;
  // The outcome of the job before, when a new one began before the thread
  // got to show it.
  DesktopProgressView lastOutcome;
  bool lastOutcomeDue = false;
  unsigned job = 0;        // counts BeginDesktopProgress calls
  unsigned long asked = 0;  // counts changes of want
  unsigned long done = 0;   // the last change the thread has dealt with
  Taken taken = Taken::Unknown;
  bool quit = false;
  bool running = false;
  bool idle = false;  // the thread waits for news (not for its next turn)
  std::thread thread;
};

// Never destroyed: a progress thread still waiting on a slow desktop when the
// process ends may hold it to the last moment.
Progress& state = *new Progress;

// A new percent wakes the thread only when it waits for news: while it waits
// for its next turn it takes the latest state then anyway, and waking it for
// every percent would cost the writer's core a switch each time. A new job
// and an outcome always wake it.
void Ask(std::unique_lock<std::mutex>&, bool always) {
  ++state.asked;
  if (always || state.idle) state.changed.notify_all();
}

void ServeJobs() {
  DesktopProgressShown* shown = nullptr;
  unsigned job = 0;
  bool open = false;
  SteadyClock::time_point lastShown;
  bool shownOnce = false;
  std::unique_lock<std::mutex> hold(state.lock);
  for (;;) {
    state.idle = true;
    state.changed.wait(hold, [] { return state.quit || state.asked != state.done; });
    state.idle = false;
    if (state.asked == state.done) break;  // quit, and nothing left to show
    if (state.job != job) {
      // A new job: what the last one showed stays where it is, its outcome
      // shown first if it came too late for its own turn.
      job = state.job;
      shownOnce = false;
      DesktopProgressView outcome;
      bool outcomeDue = state.lastOutcomeDue;
      if (outcomeDue) outcome = state.lastOutcome;
      state.lastOutcomeDue = false;
      hold.unlock();
      if (shown && outcomeDue) ShowDesktopProgress(shown, outcome);
      if (shown) CloseDesktopProgress(shown);
      shown = OpenDesktopProgress();
      hold.lock();
      open = shown != nullptr;
      if (!open && state.job == job) state.taken = Taken::No;
      if (state.job != job) continue;
    }
    if (!open) {
      // Nothing to show it on: the job goes by unseen.
      state.done = state.asked;
      state.changed.notify_all();
      continue;
    }
    if (shownOnce && !state.want.ended) {
      // Progress is updated in place no more than once a second; whatever
      // came in the meantime is folded into the one shown next. The outcome
      // goes out at once.
      auto next = lastShown + kShowInterval;
      state.changed.wait_until(hold, next, [next, job] {
        return SteadyClock::now() >= next || state.want.ended || state.job != job;
      });
      if (state.job != job) continue;
    }
    DesktopProgressView view = state.want;
    unsigned long asked = state.asked;
    hold.unlock();
    bool ok = open && ShowDesktopProgress(shown, view);
    hold.lock();
    lastShown = SteadyClock::now();
    shownOnce = true;
    if (state.job == job) {
      if (state.taken == Taken::Unknown) state.taken = ok ? Taken::Yes : Taken::No;
      state.done = asked;
    }
    state.changed.notify_all();
    if (view.ended && state.job == job) {
      // The outcome stays until the next job or the end; a success only for
      // a moment.
      auto stop = [job] { return state.quit || state.job != job; };
      if (view.failed) {
        state.changed.wait(hold, stop);
      } else {
        state.changed.wait_until(hold, lastShown + kSuccessHold, stop);
      }
      if (!stop() && shown) {
        hold.unlock();
        CloseDesktopProgress(shown);
        hold.lock();
        shown = nullptr;
        open = false;
      }
    }
  }
  hold.unlock();
  if (shown) CloseDesktopProgress(shown);
}

void Serve() {
  try {
    ServeJobs();
  } catch (...) {
    // Out of memory on the way: the desktop is told no more; nothing that
    // moves the image ever depended on it.
  }
}

// The process is ending: give the outcome a moment to reach the desktop,
// then leave whatever is still under way to the process's end.
struct FlushAtExit {
  ~FlushAtExit() {
    std::unique_lock<std::mutex> hold(state.lock);
    if (!state.thread.joinable()) return;
    state.quit = true;
    state.running = false;
    state.changed.notify_all();
    bool idle = state.changed.wait_for(hold, kFlushWait, [] { return state.asked == state.done; });
    hold.unlock();
    if (idle) {
      state.thread.join();
    } else {
      state.thread.detach();
    }
  }
} flushAtExit;

}  // namespace

// The image goes out whatever happens here: a desktop that can't be told (no
// memory, no thread to spare) is told nothing, and no exception reaches the
// caller.
void BeginDesktopProgress(const char* title, const char* text) {
  try {
    std::unique_lock<std::mutex> hold(state.lock);
    state.lastOutcomeDue = state.want.ended && state.asked != state.done;
    if (state.lastOutcomeDue) state.lastOutcome = state.want;
    ++state.job;
    state.want = DesktopProgressView();
    state.want.title = title;
    state.want.text = text;
    state.taken = Taken::Unknown;
    state.running = true;
    Ask(hold, true);
    if (!state.thread.joinable()) state.thread = std::thread(Serve);
  } catch (...) {
    std::lock_guard<std::mutex> hold(state.lock);
    state.running = false;
  }
}

void SetDesktopProgress(int percent, const char* text) {
  try {
    std::unique_lock<std::mutex> hold(state.lock);
    if (!state.running) return;
    state.want.percent = percent < 0 ? 0 : percent > 100 ? 100 : percent;
    state.want.text = text;
    Ask(hold, false);
  } catch (...) {
  }
}

DesktopShown EndDesktopProgress(const char* outcome, bool failed) {
  try {
    std::unique_lock<std::mutex> hold(state.lock);
    if (!state.running) return DesktopShown::No;
    state.running = false;
    state.want.text = outcome;
    state.want.ended = true;
    state.want.failed = failed;
    Ask(hold, true);
    state.changed.wait_for(hold, kAnswerWait, [] { return state.taken != Taken::Unknown; });
    switch (state.taken) {
      case Taken::Yes: return DesktopShown::Yes;
      case Taken::No: return DesktopShown::No;
      case Taken::Unknown: break;
    }
    return DesktopShown::NoAnswerYet;
  } catch (...) {
    return DesktopShown::No;
  }
}

}  // namespace plat
