#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

enum class MessageIcon { None, Stop };

// What every face overrides, in its class's protected part: the Apply functions (each runs on
// the GUI thread) and the way to its GUI thread. Declared once, so no face can miss one.
#define CONTROL_SURFACE_OVERRIDES                                                             \
  void ApplyText(int id, const std::string& text) override;                                   \
  void ApplyEnable(int id, bool enable) override;                                             \
  void ApplyProgressRange(int low, int high) override;                                        \
  void ApplyProgressPos(int pos) override;                                                    \
  void ApplyAddComboItem(int id, const std::string& text) override;                           \
  void ApplySelectComboItem(int id, int index) override;                                      \
  void ApplyScrollToEnd(int id) override;                                                     \
  void ApplyMessageBox(const std::string& text, const std::string& caption, MessageIcon icon) \
      override;                                                                               \
  bool ApplyAsk(const std::string& text) override;                                            \
  std::optional<std::string> ApplyChooseFile(const std::string& filter,                       \
                                             const std::string& startPath) override;          \
  void ApplyShowAbout() override;                                                             \
  void ApplySetTimer(int id, int intervalMs) override;                                        \
  void ApplyKillTimer(int id) override;                                                       \
  bool OnGuiThread() const override;                                                          \
  void PostToGuiThread(std::function<void()> task) override

// The window as the dialog engine sees it: controls addressed by ID. Every public call may
// come from any thread; it is applied on the GUI thread while the caller waits, so one
// thread's changes land in the order it makes them. After Detach() every call returns at
// once and changes nothing, which is what lets shutdown join workers from the GUI thread.
class ControlSurface {
 public:
  virtual ~ControlSurface() = default;

  void SetText(int id, const std::string& text);
  void Enable(int id, bool enable);
  void SetProgressRange(int low, int high);
  void SetProgressPos(int pos);
  void AddComboItem(int id, const std::string& text);
  void SelectComboItem(int id, int index);
  void ScrollToEnd(int id);
  // Modal, OK button only; returns once dismissed.
  void MessageBox(const std::string& text, const std::string& caption = {},
                  MessageIcon icon = MessageIcon::None);
  // Modal Yes/No question, No the default (Enter, Esc); true when answered Yes.
  bool Ask(const std::string& text);
  // Open-file dialog, in the folder of `startPath` when it names one; empty when cancelled.
  std::optional<std::string> ChooseFile(const std::string& filter,
                                        const std::string& startPath = {});
  void ShowAbout();
  // Repeating timer; `TimerFired(id)` runs on the GUI thread until KillTimer(id).
  void SetTimer(int id, int intervalMs);
  void KillTimer(int id);
  // Runs `fn` on the GUI thread and waits for it (directly when already there).
  void RunOnGuiThread(const std::function<void()>& fn);
  // Runs `work` to its end. On the GUI thread it runs on a helper thread while the GUI
  // thread goes on applying the workers' control changes, so joining a worker that is
  // waiting for the GUI cannot deadlock.
  void ServeWhile(const std::function<void()>& work);

  // Where timer expiries go (the dialog's OnTimer).
  void SetTimerHandler(std::function<void(int id)> handler);
  // From now on nothing reaches the controls; waiting callers are released.
  void Detach();
  bool Detached() const;

 protected:
  // Each runs on the GUI thread.
  virtual void ApplyText(int id, const std::string& text) = 0;
  virtual void ApplyEnable(int id, bool enable) = 0;
  virtual void ApplyProgressRange(int low, int high) = 0;
  virtual void ApplyProgressPos(int pos) = 0;
  virtual void ApplyAddComboItem(int id, const std::string& text) = 0;
  virtual void ApplySelectComboItem(int id, int index) = 0;
  virtual void ApplyScrollToEnd(int id) = 0;
  virtual void ApplyMessageBox(const std::string& text, const std::string& caption,
                               MessageIcon icon) = 0;
  virtual bool ApplyAsk(const std::string& text) = 0;
  virtual std::optional<std::string> ApplyChooseFile(const std::string& filter,
                                                     const std::string& startPath) = 0;
  virtual void ApplyShowAbout() = 0;
  virtual void ApplySetTimer(int id, int intervalMs) = 0;
  virtual void ApplyKillTimer(int id) = 0;

  // How to reach the GUI thread: run `task` there soon, in posting order.
  virtual bool OnGuiThread() const = 0;
  virtual void PostToGuiThread(std::function<void()> task) = 0;

  // Implementations call this on the GUI thread when a timer expires.
  void TimerFired(int id);

 private:
  struct Call;
  void RunQueued();

  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<std::shared_ptr<Call>> m_calls;
  bool m_detached = false;
  std::function<void(int)> m_timerHandler;
};
