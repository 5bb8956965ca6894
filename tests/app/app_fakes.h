// SPDX-License-Identifier: MIT
// Stand-ins for AppModel's services: a card scanner and a batch runner the
// test scripts from the GUI thread, a folder chooser with queued answers and
// an opener that records what it was asked to show.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "app/app_services.h"
#include "core/base/crop_error.h"

namespace kestrel::testing {

inline CameraCard makeCard(const std::string& id, const std::string& name,
                           const std::filesystem::path& volume) {
  return {id, name, volume, volume / "DCIM"};
}

// Answers each scan with the current card list, or, while held, blocks the
// scan until the test answers that call by its number (0 = first call).
class ScriptedScanner {
 public:
  void setCards(std::vector<CameraCard> cards) {
    std::lock_guard guard(state_->lock);
    state_->cards = std::move(cards);
  }
  void hold() {
    std::lock_guard guard(state_->lock);
    state_->held = true;
  }
  void answer(int call, std::vector<CameraCard> cards) {
    std::lock_guard guard(state_->lock);
    state_->answers[call] = std::move(cards);
    state_->changed.notify_all();
  }
  // Lets every held scan return the current list, so none outlives a test.
  void releaseAll() {
    std::lock_guard guard(state_->lock);
    state_->held = false;
    state_->changed.notify_all();
  }
  int calls() const {
    std::lock_guard guard(state_->lock);
    return state_->calls;
  }

  CardScanner function() const {
    return [state = state_] {
      std::unique_lock guard(state->lock);
      const int call = state->calls++;
      if (!state->held) return state->cards;
      state->changed.wait(guard, [&] { return state->answers.contains(call) || !state->held; });
      return state->answers.contains(call) ? state->answers[call] : state->cards;
    };
  }

 private:
  struct State {
    mutable std::mutex lock;
    std::condition_variable changed;
    std::vector<CameraCard> cards;
    bool held = false;
    std::map<int, std::vector<CameraCard>> answers;
    int calls = 0;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A batch run that reports the given snapshots, then (when asked to) waits
// for release() before it returns a summary with the given counts, or
// throws the given error. The summary is cancelled when the token is.
class ScriptedRunner {
 public:
  std::vector<BatchProgress> snapshots;
  StatusCounts counts;
  std::optional<std::string> error;
  bool waitForRelease = false;

  void release() {
    std::lock_guard guard(state_->lock);
    state_->released = true;
    state_->changed.notify_all();
  }
  // True once the snapshots are posted and the run waits for release().
  bool waiting() const {
    std::lock_guard guard(state_->lock);
    return state_->waiting;
  }
  int runs() const {
    std::lock_guard guard(state_->lock);
    return state_->runs;
  }
  std::optional<BatchConfiguration> lastConfiguration() const {
    std::lock_guard guard(state_->lock);
    return state_->config;
  }
  std::shared_ptr<CancellationToken> lastToken() const {
    std::lock_guard guard(state_->lock);
    return state_->token;
  }

  BatchRunner function() const {
    return [state = state_, snapshots = snapshots, counts = counts, error = error,
            hold = waitForRelease](const BatchConfiguration& config,
                                   std::shared_ptr<CancellationToken> token,
                                   BatchProcessor::ProgressCallback progress) {
      {
        std::lock_guard guard(state->lock);
        ++state->runs;
        state->config = config;
        state->token = token;
      }
      for (const BatchProgress& snapshot : snapshots) progress(snapshot);
      if (hold) {
        std::unique_lock guard(state->lock);
        state->waiting = true;
        state->changed.wait(guard, [&] { return state->released; });
      }
      if (error) throw CropError(*error);
      RunSummary summary(config);
      summary.runDirectory = config.outputRoot / "batch";
      summary.counts = counts;
      summary.processed =
          counts.cropped + counts.unchanged + counts.filtered + counts.review + counts.failed;
      summary.cancelled = token->isCancelled();
      return summary;
    };
  }

 private:
  struct State {
    mutable std::mutex lock;
    std::condition_variable changed;
    bool released = false;
    bool waiting = false;
    int runs = 0;
    std::optional<BatchConfiguration> config;
    std::shared_ptr<CancellationToken> token;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

class QueuedChooser final : public FolderChooser {
 public:
  std::deque<std::optional<std::filesystem::path>> answers;
  std::vector<FolderRequest> requests;

  std::optional<std::filesystem::path> chooseFolder(const FolderRequest& request) override {
    requests.push_back(request);
    if (answers.empty()) return std::nullopt;
    auto answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

class RecordingOpener final : public DesktopOpener {
 public:
  std::vector<std::filesystem::path> opened;
  void open(const std::filesystem::path& location) override { opened.push_back(location); }
};

}  // namespace kestrel::testing
