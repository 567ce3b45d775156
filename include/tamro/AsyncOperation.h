#pragma once

// The result of an operation that completes later, exactly once.
//
// Threading: Get, WaitFor, Status and Completed may be called from any thread at once. The
// completion handler runs exactly once and outside the operation's lock: on the completing thread,
// or at once on the thread that sets it when the operation has already completed. It may call
// Get and Status on the operation.
//
// Lifetime: held through std::shared_ptr. Run's thread holds a reference until it has completed
// the operation, so dropping the caller's reference neither cancels the work nor loses the
// completion handler.

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "tamro/Export.h"
#include "tamro/ModuleObject.h"

namespace tamro {

enum class AsyncStatus { Started, Completed, Error };

template <typename T>
class TAMRO_API AsyncOperation final : public ModuleObject {
    struct Key {
        explicit Key() = default;
    };

  public:
    using CompletedHandler = std::function<void(AsyncOperation&, AsyncStatus)>;

    explicit AsyncOperation(Key) {}
    AsyncOperation(const AsyncOperation&) = delete;
    AsyncOperation& operator=(const AsyncOperation&) = delete;

    // Runs `work` on a detached thread of its own. An exception from `work`, or failing to start
    // the thread, completes the operation with Error; Get rethrows that exception.
    static std::shared_ptr<AsyncOperation> Run(std::function<T()> work) {
        auto operation = std::make_shared<AsyncOperation>(Key{});
        try {
            std::thread([operation, work = std::move(work)]() mutable {
                operation->RunToCompletion(std::move(work));
            }).detach();
        } catch (const std::system_error&) {
            operation->Complete(std::nullopt, std::current_exception());
        }
        return operation;
    }

    static std::shared_ptr<AsyncOperation> FromResult(T value) {
        auto operation = std::make_shared<AsyncOperation>(Key{});
        operation->Complete(std::move(value), nullptr);
        return operation;
    }

    // Blocks until completion; returns the value or rethrows the work's exception.
    T Get() {
        std::unique_lock lock(m_mutex);
        m_completion.wait(lock, [this] { return IsDone(); });
        if (m_error) {
            std::rethrow_exception(m_error);
        }
        return *m_value;
    }

    // True when the operation has completed, with either status, within `limit`.
    bool WaitFor(std::chrono::milliseconds limit) {
        std::unique_lock lock(m_mutex);
        return m_completion.wait_for(lock, limit, [this] { return IsDone(); });
    }

    AsyncStatus Status() const {
        std::lock_guard lock(m_mutex);
        return m_status;
    }

    // One handler per operation: setting a second one throws std::logic_error. An empty handler
    // is ignored.
    void Completed(CompletedHandler handler) {
        if (!handler) {
            return;
        }
        AsyncStatus status;
        {
            std::lock_guard lock(m_mutex);
            if (m_handlerSet) {
                throw std::logic_error("AsyncOperation: the completion handler is already set");
            }
            m_handlerSet = true;
            status = m_status;
            if (status == AsyncStatus::Started) {
                m_handler = std::move(handler);
                return;
            }
        }
        handler(*this, status);
    }

  private:
    bool IsDone() const { return m_status != AsyncStatus::Started; }

    void RunToCompletion(std::function<T()> work) {
        std::optional<T> value;
        std::exception_ptr error;
        try {
            // The work and what it captured are released before completion, so a caller woken
            // by Get holds the last references to them.
            auto finished = std::move(work);
            value.emplace(finished());
        } catch (...) {
            error = std::current_exception();
        }
        Complete(std::move(value), error);
    }

    void Complete(std::optional<T> value, std::exception_ptr error) {
        CompletedHandler handler;
        AsyncStatus status;
        {
            std::lock_guard lock(m_mutex);
            m_value = std::move(value);
            m_error = error;
            m_status = error ? AsyncStatus::Error : AsyncStatus::Completed;
            status = m_status;
            handler = std::move(m_handler);
        }
        m_completion.notify_all();
        if (handler) {
            handler(*this, status);
        }
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_completion;
    AsyncStatus m_status = AsyncStatus::Started;
    std::optional<T> m_value;
    std::exception_ptr m_error;
    CompletedHandler m_handler;
    bool m_handlerSet = false;
};

}  // namespace tamro
