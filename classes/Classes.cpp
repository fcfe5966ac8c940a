#include "Classes.h"

#include <algorithm>
#include <utility>

namespace comm {

// ---- TPersistent -----------------------------------------------------------

void TPersistent::Assign(const TPersistent* source) {
  if (source != nullptr) {
    source->AssignTo(this);
    return;
  }
  throw EConvertError(std::string("Cannot assign a nil to a ") + ClassName());
}

void TPersistent::AssignTo(TPersistent* dest) const {
  throw EConvertError(std::string("Cannot assign a ") + ClassName() + " to a " +
                      dest->ClassName());
}

// ---- TComponent ------------------------------------------------------------

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_ != nullptr) owner_->components_.push_back(this);
}

TComponent::~TComponent() {
  // Owned components go last-created first; each takes itself off the list.
  while (!components_.empty()) {
    TComponent* child = components_.back();
    child->owner_ = nullptr;
    components_.pop_back();
    delete child;
  }
  if (owner_ != nullptr) {
    auto& siblings = owner_->components_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  }
}

// ---- TMainThreadQueue --------------------------------------------------------

struct TMainThreadQueue::Call {
  enum class State { Queued, Running, Done, Cancelled };
  const void* owner;
  const std::function<void()>* function;
  State state = State::Queued;
  std::exception_ptr error;
};

namespace {
// Static initialisation runs on the thread that starts the program.
const std::thread::id startThread = std::this_thread::get_id();
}  // namespace

TMainThreadQueue& TMainThreadQueue::Instance() {
  // Never destroyed: threads that free themselves may still be queued in it
  // while the program exits.
  static TMainThreadQueue* instance = [] {
    auto* q = new TMainThreadQueue();
    q->main_ = startThread;
    return q;
  }();
  return *instance;
}

void TMainThreadQueue::SetMainThread(std::thread::id id) {
  std::lock_guard lock(mutex_);
  main_ = id;
}

bool TMainThreadQueue::IsMainThread() const {
  std::lock_guard lock(mutex_);
  return std::this_thread::get_id() == main_;
}

void TMainThreadQueue::SetWakeup(std::function<void()> wakeup) {
  std::lock_guard lock(mutex_);
  wakeup_ = std::move(wakeup);
}

bool TMainThreadQueue::Synchronize(const void* owner, const std::function<void()>& call) {
  if (IsMainThread()) {
    call();
    return true;
  }
  auto pending = std::make_shared<Call>();
  pending->owner = owner;
  pending->function = &call;
  std::function<void()> wakeup;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(pending);
    wakeup = wakeup_;
  }
  changed_.notify_all();
  if (wakeup) wakeup();
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] {
    return pending->state == Call::State::Done || pending->state == Call::State::Cancelled;
  });
  if (pending->state == Call::State::Cancelled) return false;
  if (pending->error) std::rethrow_exception(pending->error);
  return true;
}

std::size_t TMainThreadQueue::RunPending() {
  std::size_t ran = 0;
  std::unique_lock lock(mutex_);
  // Only what is queued now: a busy thread cannot keep the caller here.
  std::size_t budget = queue_.size();
  while (budget-- > 0 && !queue_.empty()) {
    // One at a time, so a call still queued can be cancelled from inside a
    // running one.
    std::shared_ptr<Call> call = queue_.front();
    queue_.pop_front();
    call->state = Call::State::Running;
    running_.push_back(call->owner);
    lock.unlock();
    std::exception_ptr error;
    try {
      (*call->function)();
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    running_.erase(std::find(running_.begin(), running_.end(), call->owner));
    call->error = error;
    call->state = Call::State::Done;
    ++ran;
    // Woken with the lock let go: the waiting thread would otherwise wake
    // only to block on it again.
    lock.unlock();
    changed_.notify_all();
    lock.lock();
  }
  return ran;
}

std::size_t TMainThreadQueue::WaitAndRunPending(std::chrono::milliseconds timeout) {
  {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return !queue_.empty(); });
  }
  return RunPending();
}

bool TMainThreadQueue::Cancel(const void* owner) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(queue_.begin(), queue_.end(),
                         [&](const std::shared_ptr<Call>& c) { return c->owner == owner; });
  if (it == queue_.end()) return false;
  (*it)->state = Call::State::Cancelled;
  queue_.erase(it);
  changed_.notify_all();
  return true;
}

bool TMainThreadQueue::IsRunning(const void* owner) const {
  std::lock_guard lock(mutex_);
  return std::find(running_.begin(), running_.end(), owner) != running_.end();
}

std::size_t TMainThreadQueue::PendingCount() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

// ---- TThread -----------------------------------------------------------------

TThread::TThread(bool createSuspended) : createSuspended_(createSuspended) {
  // A thread created running starts at once; the derived part is not built
  // yet, so such threads start from Resume as well.
}

TThread::~TThread() {
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      Terminate();
      thread_.join();
    }
  }
}

void TThread::Resume() {
  bool expected = false;
  if (started_.compare_exchange_strong(expected, true)) {
    // The new thread waits for thread_ to be stored before it may detach it.
    std::lock_guard lock(startMutex_);
    thread_ = std::thread([this] { Run(); });
  }
}

void TThread::Terminate() { terminated_.store(true); }

void TThread::WaitFor() {
  if (!thread_.joinable()) return;
  auto& queue = TMainThreadQueue::Instance();
  if (queue.IsMainThread()) {
    while (!finished_.load()) queue.WaitAndRunPending(std::chrono::milliseconds(10));
  }
  thread_.join();
}

bool TThread::Synchronize(const std::function<void()>& method) {
  return TMainThreadQueue::Instance().Synchronize(this, method);
}

void TThread::Run() {
  { std::lock_guard lock(startMutex_); }
  try {
    Execute();
  } catch (...) {
    fatalException_ = std::current_exception();
  }
  DoTerminate();
  finished_.store(true);
  if (FreeOnTerminate) {
    thread_.detach();
    delete this;
  }
}

// ---- Message box ---------------------------------------------------------------

namespace {
std::mutex serviceMutex;
MessageBoxService& Service() {
  static MessageBoxService* service = new MessageBoxService();
  return *service;
}
}  // namespace

void SetMessageBoxService(MessageBoxService service) {
  std::lock_guard lock(serviceMutex);
  Service() = std::move(service);
}

int ApplicationMessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  MessageBoxService service;
  {
    std::lock_guard lock(serviceMutex);
    service = Service();
  }
  return service ? service(text, caption, flags) : 0;
}

}  // namespace comm
