#pragma once

// Runs the model's work on the serial workers of its core objects and resumes the waiting coroutine on
// the main thread. Owned by the model; used on the main thread only (the work itself runs on a worker),
// but for postToMain, which any thread may call; a SequenceChecker holds it to that.
//
// Liveness: every resume checks that the model still lives. shutDown() (the model's destructor) stops the
// workers (triggering the stop token every running job holds), waits for them, and then resumes every
// suspended operation at once with ModelDestroyed, which unwinds it without touching the model.

#include <QMetaObject>
#include <QObject>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "app/model/serial_worker.h"
#include "app/sequence_checker.h"
#include "core/foundation/operation_cancelled.h"
#include "core/service/network_error.h"

namespace halvex::app {

// Thrown into an operation that was suspended when its model was destroyed. Deliberately not a
// std::exception: the model's error handling never catches it, so it only unwinds.
struct ModelDestroyed {};

class ModelExecutor {
  public:
    // `context` lives on the main thread and outlives this executor; resumes are delivered to it.
    explicit ModelExecutor(QObject* context) : context_(context) {}
    ~ModelExecutor() { shutDown(); }
    ModelExecutor(const ModelExecutor&) = delete;
    ModelExecutor& operator=(const ModelExecutor&) = delete;

    // One serial queue per core object, one for the local files and registrations, and one for the
    // sign-in's long wait for approval, so that the client's short calls do not queue behind it.
    SerialWorker client;
    SerialWorker installer;
    SerialWorker updater;
    SerialWorker local;
    SerialWorker signIn;

    template <typename T>
    class Call;

    // `auto call = run(worker, work); co_await call;` runs `work(stop)` on the worker and yields its result
    // (or rethrows its exception) on the main thread. `stop` fires when `cancel` fires or the model is
    // destroyed. Keep the call in a named variable: GCC 12 destroys a closure that is a temporary of the
    // co_await operand before the call has taken it.
    template <typename Work>
    auto run(SerialWorker& worker, Work work, std::stop_token cancel = {}) {
        sequence_.check();
        using T = std::invoke_result_t<Work&, std::stop_token>;
        return Call<T>(*this, worker, std::move(work), std::move(cancel));
    }

    // Delivers `action` on the main thread, unless the model is gone by then. Any thread.
    void postToMain(std::function<void()> action) const {
        QMetaObject::invokeMethod(context_, std::move(action), Qt::QueuedConnection);
    }

    bool alive() const { return alive_; }
    void shutDown();

  private:
    struct Continuation {
        std::coroutine_handle<> handle;
        bool resumed = false;
    };

    void track(std::shared_ptr<Continuation> continuation) { suspended_.push_back(std::move(continuation)); }
    void resume(const std::shared_ptr<Continuation>& continuation);

    SequenceChecker sequence_;
    QObject* context_;
    bool alive_ = true;
    std::vector<std::shared_ptr<Continuation>> suspended_;
};

template <typename T>
class ModelExecutor::Call {
  public:
    using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

    template <typename Work>
    Call(ModelExecutor& executor, SerialWorker& worker, Work work, std::stop_token cancel)
        : executor_(executor),
          worker_(worker),
          work_(std::move(work)),
          cancel_(std::move(cancel)),
          state_(std::make_shared<State>()) {}

    bool await_ready() const noexcept { return false; }

    bool await_suspend(std::coroutine_handle<> handle) {
        if (!executor_.alive()) return false;
        state_->handle = handle;
        executor_.track(state_);
        worker_.post([state = state_, work = std::move(work_), cancel = cancel_, executor = &executor_,
                      workerStop = worker_.stopToken()](bool abandoned) mutable {
            if (abandoned) {
                state->error = std::make_exception_ptr(OperationCancelled());
            } else {
                perform(*state, work, workerStop, cancel);
            }
            executor->postToMain([state, executor] { executor->resume(state); });
        });
        return true;
    }

    T await_resume() {
        if (!executor_.alive()) throw ModelDestroyed{};
        if (state_->error) std::rethrow_exception(state_->error);
        if constexpr (!std::is_void_v<T>) return std::move(*state_->value);
    }

  private:
    struct State : Continuation {
        std::optional<Value> value;
        std::exception_ptr error;
    };

    static void perform(State& state, std::function<T(std::stop_token)>& work, std::stop_token workerStop,
                        std::stop_token cancel) {
        std::stop_source stop;
        const auto trigger = [&stop] { stop.request_stop(); };
        const std::stop_callback onWorkerStop(workerStop, trigger);
        const std::stop_callback onCancel(cancel, trigger);
        try {
            if constexpr (std::is_void_v<T>) {
                work(stop.get_token());
                state.value.emplace();
            } else {
                state.value.emplace(work(stop.get_token()));
            }
        } catch (...) {
            state.error = std::current_exception();
        }
    }

    ModelExecutor& executor_;
    SerialWorker& worker_;
    std::function<T(std::stop_token)> work_;
    std::stop_token cancel_;
    std::shared_ptr<State> state_;
};

inline void ModelExecutor::resume(const std::shared_ptr<Continuation>& continuation) {
    sequence_.check();
    if (continuation->resumed) return;
    continuation->resumed = true;
    std::erase(suspended_, continuation);
    continuation->handle.resume();
}

inline void ModelExecutor::shutDown() {
    sequence_.check();
    if (!alive_) return;
    alive_ = false;
    for (auto* worker : {&client, &installer, &updater, &local, &signIn}) worker->stop();
    // Every job has ended; its resume may still sit in the event queue, which dies with the context.
    while (!suspended_.empty()) {
        const auto next = suspended_.front();
        resume(next);
    }
}

}  // namespace halvex::app
