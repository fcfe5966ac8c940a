// The small runtime the serial component and the window are built on: owned
// components, persistent objects with assignment, a re-entrant lock, a thread
// class with suspended start and free-on-terminate, the hand-off of a call to
// the main thread, and the application's modal message box.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace comm {

class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised when an object is assigned from one it cannot take values from.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
  virtual const char* ClassName() const { return "TObject"; }
};

class TPersistent : public TObject {
 public:
  const char* ClassName() const override { return "TPersistent"; }
  // Copies the values of source into this object. The base refuses every
  // source with EConvertError.
  virtual void Assign(const TPersistent* source);

 protected:
  virtual void AssignTo(TPersistent* dest) const;
};

// A component owned by another component, which destroys it.
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  const char* ClassName() const override { return "TComponent"; }
  TComponent* Owner() const { return owner_; }
  std::size_t ComponentCount() const { return components_.size(); }

 private:
  TComponent* owner_;
  std::vector<TComponent*> components_;
};

// Re-entrant for the thread that holds it.
class TCriticalSection : public TObject {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  const char* ClassName() const override { return "TCriticalSection"; }

 private:
  std::recursive_mutex mutex_;
};

// Hands calls from other threads to the main thread. The calling thread
// blocks until the main thread has run its call; the main thread runs them
// when a front end's wake-up fires, in a modal loop, or by hand in tests.
class TMainThreadQueue {
 public:
  static TMainThreadQueue& Instance();

  // The thread that ran static initialisation is the main thread unless a
  // front end says otherwise.
  void SetMainThread(std::thread::id id = std::this_thread::get_id());
  bool IsMainThread() const;
  // Called from the queuing thread whenever a call is queued; a front end
  // posts itself a message there and runs RunPending when it arrives.
  void SetWakeup(std::function<void()> wakeup);

  // Runs call on the main thread and returns true once it has run; an
  // exception it threw is raised again here. Returns false when the call was
  // cancelled before it ran. On the main thread the call runs at once.
  bool Synchronize(const void* owner, const std::function<void()>& call);

  // Main thread: runs the calls queued so far, one at a time, in order.
  std::size_t RunPending();
  // Main thread: waits up to timeout for a call to be queued, then runs all.
  std::size_t WaitAndRunPending(std::chrono::milliseconds timeout);
  // Main thread: drops the queued call of owner and releases its caller.
  bool Cancel(const void* owner);
  // Whether a call of owner is running on the main thread right now.
  bool IsRunning(const void* owner) const;
  std::size_t PendingCount() const;

 private:
  struct Call;
  TMainThreadQueue() = default;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Call>> queue_;
  std::vector<const void*> running_;
  std::function<void()> wakeup_;
  std::thread::id main_;
};

// A thread object: created suspended or running, asked to stop through a
// terminate flag, optionally freeing itself when its body returns. An
// exception that escapes the body is kept as the fatal exception.
class TThread : public TObject {
 public:
  explicit TThread(bool createSuspended);
  ~TThread() override;
  const char* ClassName() const override { return "TThread"; }

  void Resume();
  void Terminate();
  bool Terminated() const { return terminated_.load(); }
  bool Finished() const { return finished_.load(); }
  // Waits for the body to return, running the main thread's pending calls
  // meanwhile when called there. Not for free-on-terminate threads.
  void WaitFor();
  std::exception_ptr FatalException() const { return fatalException_; }
  bool CreatedSuspended() const { return createSuspended_; }

  bool FreeOnTerminate = false;

 protected:
  virtual void Execute() = 0;
  // Runs on the thread after the body, also after an exception.
  virtual void DoTerminate() {}
  // Runs method on the main thread and blocks until it has; true when it ran.
  bool Synchronize(const std::function<void()>& method);

 private:
  void Run();

  std::thread thread_;
  std::mutex startMutex_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> started_{false};
  bool createSuspended_;  // a thread created running is started by its creator with Resume
  std::exception_ptr fatalException_;
};

// The application's modal message box (text, caption, flags), provided by the
// front end. Without one nothing is shown.
using MessageBoxService =
    std::function<int(const std::string& text, const std::string& caption, unsigned flags)>;
void SetMessageBoxService(MessageBoxService service);
int ApplicationMessageBox(const std::string& text, const std::string& caption, unsigned flags);

// A bound member function: the object together with one of its methods.
template <class T, class R, class... Args>
std::function<R(Args...)> BindMethod(T* object, R (T::*method)(Args...)) {
  return [object, method](Args... args) -> R { return (object->*method)(args...); };
}

}  // namespace comm
